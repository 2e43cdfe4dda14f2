#include "Prompter.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kvr {

void QtPrompter::ShowMessage(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtPrompter::AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    return box.exec() == QMessageBox::Yes;
}

void QtPrompter::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

std::optional<QString> QtPrompter::ChooseFile(QWidget* parent, const OpenDialogSetup& setup) {
    QFileDialog dialog(parent, setup.title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The file, and so its folder, must exist; there is no read-only box to hide.
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(setup.nameFilter);
    dialog.setDefaultSuffix(setup.defaultSuffix);
    dialog.setSizeGripEnabled(true);
    if (!setup.fileName.isEmpty())
        dialog.selectFile(setup.fileName);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.first();
}

}  // namespace kvr
