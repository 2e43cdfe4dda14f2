// Every modal box and the open dialog of the window go through an IPrompter, so that tests
// can answer them. QtPrompter is the production one.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kvr {

struct OpenDialogSetup {
    QString title;
    QString nameFilter;     // Qt's form, "Uplinker files (*.bsk)"
    QString defaultSuffix;  // appended to a typed name without extension
    QString fileName;       // full name offered when the dialog opens
};

class IPrompter {
public:
    virtual ~IPrompter() = default;
    // A plain box with one OK button; returns when the operator has closed it.
    virtual void ShowMessage(QWidget* parent, const QString& caption, const QString& text) = 0;
    // Yes and No buttons; true on Yes, false on No or when the box is closed otherwise.
    virtual bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The standard exception display: error icon and OK.
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The open dialog for an existing file; no value when the operator cancels.
    virtual std::optional<QString> ChooseFile(QWidget* parent, const OpenDialogSetup& setup) = 0;
};

class QtPrompter final : public IPrompter {
public:
    void ShowMessage(QWidget* parent, const QString& caption, const QString& text) override;
    bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) override;
    void ShowError(QWidget* parent, const QString& caption, const QString& text) override;
    std::optional<QString> ChooseFile(QWidget* parent, const OpenDialogSetup& setup) override;
};

}  // namespace kvr
