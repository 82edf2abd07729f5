// Saving the last take as a RIFF/WAVE file.
//
// Runs on the interface thread from start to end; no events are handled
// while it copies.
#pragma once

// The Save action: asks for a path, then writes the 46-byte header and the
// take from "pelvar.temp" behind it. Record and Save are enabled again when
// nothing was saved; all three buttons stay disabled after a save.
void exportWav();
