// SPDX-License-Identifier: MIT
#include "app.h"

int main() { runOstrelle(); }
