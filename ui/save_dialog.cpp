// SPDX-License-Identifier: MIT
// The modal save-file dialog.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <algorithm>
#include <string_view>

#include "layer.h"
#include "ui.h"

using namespace ui_detail;

namespace {

class SaveDialog : public QFileDialog {
   public:
    using QFileDialog::QFileDialog;

    void accept() override {
        // The chosen folder must exist; the dialog stays open otherwise.
        const QStringList chosen = selectedFiles();
        if (!chosen.isEmpty() && !QFileInfo(chosen.first()).absoluteDir().exists()) return;
        QFileDialog::accept();
    }
};

bool acceptableProposedName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char byte : name)
        if (byte < 0x20 || std::string_view("\"*/:<>?\\|").find(static_cast<char>(byte)) != std::string_view::npos)
            return false;
    return true;
}

}  // namespace

std::string saveFileDialog(const char* title, const char* defaultPath, const char* pattern, int patternIndex,
                           int* chosenPattern) {
    if (layer.application == nullptr || closeRequested()) return {};
    handOverPendingTitles();
    SaveDialog dialog(activeLayerWindow(), text(title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setWindowModality(Qt::ApplicationModal);

    QStringList filters, shown;
    const QStringList parts = text(pattern).split(QChar('|'));
    for (qsizetype index = 0; index + 1 < parts.size(); index += 2) {
        filters << QStringLiteral("%1 (%2)").arg(parts[index], parts[index + 1]);
        shown << parts[index];
    }
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        if (patternIndex >= 0 && patternIndex < filters.size()) dialog.selectNameFilter(filters[patternIndex]);
    }

    if (defaultPath != nullptr) {
        std::string path(defaultPath);
        size_t separator = path.find_last_of("\\/");
        std::string folder;
        std::string name = path;
        if (separator != std::string::npos && separator > 0) {
            folder = path.substr(0, separator);
            name = path.substr(separator + 1);
        }
        dialog.setDirectory(folder.empty() ? QDir::currentPath() : QDir(QString::fromUtf8(folder)).absolutePath());
        if (acceptableProposedName(name)) dialog.selectFile(QString::fromUtf8(name));
    }

    if (dialog.exec() != QDialog::Accepted) return {};
    if (chosenPattern != nullptr) {
        // With the details hidden the dialog names the type by its shown text alone.
        const QString selected = dialog.selectedNameFilter();
        const qsizetype index = std::max(filters.indexOf(selected), shown.indexOf(selected));
        *chosenPattern = static_cast<int>(std::max<qsizetype>(0, index));
    }
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? std::string() : QFile::encodeName(chosen.first()).toStdString();
}
