// SPDX-License-Identifier: MIT
#include "support.h"

#include <gtest/gtest.h>
#include <portaudio.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "capture.h"
#include "capture_testing.h"
#include "ui.h"

std::vector<SeenBox> seenBoxes;
std::vector<SeenDialog> seenDialogs;
std::deque<int> plannedBoxAnswers;
std::deque<std::optional<std::string>> plannedDialogAnswers;
std::deque<std::string> plannedDialogTypes;

void forgetAnswers() {
    seenBoxes.clear();
    seenDialogs.clear();
    plannedBoxAnswers.clear();
    plannedDialogAnswers.clear();
    plannedDialogTypes.clear();
}

void later(std::function<void()> action, int milliseconds) {
    QTimer::singleShot(milliseconds, qApp, std::move(action));
}

QWidget* windowWidget(int number) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QStringLiteral("window%1").arg(number)) return widget;
    return nullptr;
}

QWidget* controlWidget(int number) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* found = top->findChild<QWidget*>(QStringLiteral("control%1").arg(number))) return found;
    return nullptr;
}

void clickLater(int control, int milliseconds) {
    later(
        [control] {
            QWidget* widget = controlWidget(control);
            ASSERT_NE(widget, nullptr) << "control " << control;
            QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
        },
        milliseconds);
}

bool controlEnabled(int number) {
    QWidget* widget = controlWidget(number);
    return widget != nullptr && widget->isEnabled();
}

std::string controlText(int number) {
    QWidget* widget = controlWidget(number);
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text().toStdString();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().toStdString();
    if (auto* list = qobject_cast<QComboBox*>(widget)) return list->currentText().toStdString();
    return {};
}

namespace {

void answerBox(QMessageBox* box) {
    // The text as read, without the zero-width places to wrap a long name.
    SeenBox seen{box->windowTitle().toStdString(), box->text().remove(QChar(0x200B)).toStdString(),
                 static_cast<int>(box->standardButtons()), box->frameGeometry().width()};
    seenBoxes.push_back(seen);
    QAbstractButton* button = box->defaultButton();
    if (!plannedBoxAnswers.empty()) {
        button = box->button(static_cast<QMessageBox::StandardButton>(plannedBoxAnswers.front()));
        plannedBoxAnswers.pop_front();
    }
    if (button == nullptr) {
        box->reject();
        return;
    }
    button->click();
}

void answerDialog(QFileDialog* dialog) {
    // The same dialog may need a second try while its folder is still loading.
    static QFileDialog* tried = nullptr;
    if (dialog != tried) {
        SeenDialog seen;
        seen.title = dialog->windowTitle().toStdString();
        seen.folder = dialog->directory().absolutePath().toStdString();
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            seen.proposedName = name->text().toStdString();
        for (const QString& filter : dialog->nameFilters()) seen.filters.push_back(filter.toStdString());
        if (auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
            seen.selectedFilter = types->currentText().toStdString();
        seen.confirmsOverwrite = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
        seen.defaultSuffix = dialog->defaultSuffix().toStdString();
        seenDialogs.push_back(seen);
        tried = dialog;
    }
    if (plannedDialogAnswers.empty() || !plannedDialogAnswers.front()) {
        if (!plannedDialogAnswers.empty()) plannedDialogAnswers.pop_front();
        tried = nullptr;
        dialog->reject();
        return;
    }
    // As a person would: type the name into the name field, with no file of
    // the folder selected (a selected file would win over the typed name).
    const QFileInfo chosen(QString::fromUtf8(plannedDialogAnswers.front()->c_str()));
    auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    if (!plannedDialogTypes.empty() && types != nullptr) {
        // As a person's choice in the list, which the dialog follows.
        const int type = types->findText(QString::fromStdString(plannedDialogTypes.front()));
        types->setCurrentIndex(type);
        emit types->activated(type);
    }
    dialog->setDirectory(chosen.absolutePath());
    for (auto* view : dialog->findChildren<QAbstractItemView*>()) view->clearSelection();
    if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) name->setText(chosen.fileName());
    QMetaObject::invokeMethod(dialog, "accept");
    if (!dialog->isVisible()) {
        plannedDialogAnswers.pop_front();
        if (!plannedDialogTypes.empty()) plannedDialogTypes.pop_front();
        tried = nullptr;
    }
}

// Polls for a modal box or dialog and answers it, the way a person at the
// keyboard would, so no test ever waits on one.
void startAnswerer() {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal))
            answerBox(box);
        else if (auto* dialog = qobject_cast<QFileDialog*>(modal))
            answerDialog(dialog);
    });
    timer->start(5);
}

}  // namespace

bool waitForAudio(const CaptureEngine& engine, int milliseconds) {
    const int64_t before = framesDelivered(engine);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (framesDelivered(engine) == before && std::chrono::steady_clock::now() < deadline) QTest::qWait(10);
    QTest::qWait(300);
    return framesDelivered(engine) != before;
}

int deviceNamed(const std::string& name) {
    for (int index = 0; index < Pa_GetDeviceCount(); ++index)
        if (name == Pa_GetDeviceInfo(index)->name) return index;
    return -1;
}

void useRigEnvironment(const std::string& folder, bool addressOnly) {
    std::ifstream env(folder + "/env");
    const std::string prefix = "export ";
    for (std::string line; std::getline(env, line);) {
        if (line.rfind(prefix, 0) != 0 || line.find('=') == std::string::npos) continue;
        const std::string name = line.substr(prefix.size(), line.find('=') - prefix.size());
        if (addressOnly && name != "PULSE_SERVER" && name != "PIPEWIRE_REMOTE") continue;
        setenv(name.c_str(), line.substr(line.find('=') + 1).c_str(), 1);
    }
}

std::string soundDevice() {
    const char* device = std::getenv("OSTRELLE_SOUND_DEVICE");
    return device != nullptr && *device != '\0' ? device : "pulse";
}

namespace {

std::string rigCommand(const std::vector<std::string>& words) {
    std::string command = RIG_LAUNCHER;
    for (const std::string& word : words) command += " '" + word + "'";
    return command;
}

}  // namespace

bool runRig(const std::vector<std::string>& words) { return std::system(rigCommand(words).c_str()) == 0; }

RigPart::RigPart(const std::string& what, const std::vector<std::string>& words) {
    char pattern[] = "/tmp/ostrelle-rig.XXXXXX";
    folder_ = ::mkdtemp(pattern);
    std::vector<std::string> command{what, folder_};
    command.insert(command.end(), words.begin(), words.end());
    started_ = runRig(command);
}

RigPart::~RigPart() {
    runRig({"stop", folder_});
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

int soundRigUnderruns(const std::string& folder) {
    std::FILE* told = ::popen(rigCommand({"sound", "underruns", folder}).c_str(), "r");
    int count = 0;
    if (told == nullptr) return count;
    if (std::fscanf(told, "%d", &count) != 1) count = 0;
    ::pclose(told);
    return count;
}

int runLayerTests(int argc, char** argv, bool withPortAudio, std::function<void()> beforePortAudio) {
    ::testing::InitGoogleTest(&argc, argv);
    readyAudioEnvironment();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
#ifdef SOUND_RIG
    // The private sound server that the test fixture started.
    useRigEnvironment(SOUND_RIG);
#endif
    if (beforePortAudio) beforePortAudio();
    // Started here, before the tests, which start it anew as the program
    // does (AudioStart); the program starts it beside the window layer.
    if (withPortAudio) startAudio();
    startLayer();
    startAnswerer();
    int result = RUN_ALL_TESTS();
    if (withPortAudio) Pa_Terminate();
    endLayer();
    return result;
}
