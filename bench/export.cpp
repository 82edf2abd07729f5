// The WAV export of a 1 GiB take, with its title updates, beside cp of the
// same file; and the process's peak memory before and after the export.
// Run under a real X server (bench/run-export.sh starts Xvfb): the offscreen
// platform would hide what the title updates cost.
#include <sys/resource.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app.h"
#include "capture.h"
#include "ui.h"
#include "wav.h"

namespace {

long peakKibibytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Answers the save dialog with the output name and every box with its default button.
void answerDialogs(const std::string& output) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [output] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            dialog->selectFile(QString::fromStdString(output));
            QMetaObject::invokeMethod(dialog, "accept");
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->defaultButton()->click();
        }
    });
    timer->start(10);
}

}  // namespace

int main() {
    const int64_t takeBytes = int64_t{1} << 30;
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "ostrelle-bench-export";
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    {
        std::vector<char> block(1 << 20);
        for (size_t index = 0; index < block.size(); ++index) block[index] = static_cast<char>(index * 31);
        std::ofstream out(tempCaptureName, std::ios::binary);
        for (int64_t written = 0; written < takeBytes; written += static_cast<int64_t>(block.size()))
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    resetRecorderState();
    startLayer();
    buildMainWindow();
    captureSettings.channelCount = 2;
    captureSettings.bitsPerSample = 16;
    captureSettings.sampleRate = 44100;
    computeCaptureFormat();
    recordingState.framesCaptured.store(static_cast<int32_t>(takeBytes / captureFormat.bytesPerFrame));
    const std::string output = (folder / "export.wav").string();
    answerDialogs(output);

    std::filesystem::remove("copy.raw");
    auto copyStart = std::chrono::steady_clock::now();
    if (std::system("cp pelvar.temp copy.raw") != 0) return 1;
    const double copySeconds = seconds(copyStart);
    std::filesystem::remove("copy.raw");

    const long peakBefore = peakKibibytes();
    auto exportStart = std::chrono::steady_clock::now();
    exportWav();
    const double exportSeconds = seconds(exportStart);
    const long peakAfter = peakKibibytes();

    std::printf("take            %lld bytes\n", static_cast<long long>(takeBytes));
    std::printf("cp              %.2f s\n", copySeconds);
    std::printf("export          %.2f s (%d title updates, last \"%s\")\n", exportSeconds, recordingState.saveBlocks,
                windowTitle(MainWindow).c_str());
    std::printf("export / cp     %.2f (target: under 8)\n", exportSeconds / copySeconds);
    std::printf("peak memory     %.1f MiB before, %.1f MiB after, +%.1f MiB (target: under 10)\n", peakBefore / 1024.0,
                peakAfter / 1024.0, (peakAfter - peakBefore) / 1024.0);
    std::printf("output          %lld bytes\n", static_cast<long long>(std::filesystem::file_size(output)));
    endLayer();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(folder);
}
