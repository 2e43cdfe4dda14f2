// Shared pieces of the window tests: a prompter that records every box and answers from a
// script, and the window's widgets by their layout names.
#pragma once

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QToolButton>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "AppGlobals.h"
#include "FormProgFrm.h"
#include "Prompter.h"
#include "SerialPorts.h"

namespace kvr::test {

struct PromptRecord {
    enum Kind { Message, Question, Error, OpenDialog } kind;
    QString caption;
    QString text;
};

class RecordingPrompter : public IPrompter {
public:
    void ShowMessage(QWidget*, const QString& caption, const QString& text) override {
        records.push_back({PromptRecord::Message, caption, text});
        if (onMessage)
            onMessage(text);
    }
    bool AskYesNo(QWidget*, const QString& caption, const QString& text) override {
        records.push_back({PromptRecord::Question, caption, text});
        if (onQuestion)
            onQuestion(text);
        bool answer = defaultAnswer;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        return answer;
    }
    void ShowError(QWidget*, const QString& caption, const QString& text) override {
        records.push_back({PromptRecord::Error, caption, text});
        if (onError)
            onError(text);
    }
    std::optional<QString> ChooseFile(QWidget*, const OpenDialogSetup& setup) override {
        records.push_back({PromptRecord::OpenDialog, setup.title, setup.fileName});
        lastDialog = setup;
        std::optional<QString> answer;
        if (!fileAnswers.empty()) {
            answer = fileAnswers.front();
            fileAnswers.pop_front();
        }
        return answer;
    }

    QStringList Texts(PromptRecord::Kind kind) const {
        QStringList out;
        for (const auto& r : records)
            if (r.kind == kind)
                out << r.text;
        return out;
    }
    int Count(PromptRecord::Kind kind) const { return Texts(kind).size(); }

    std::vector<PromptRecord> records;
    std::deque<bool> answers;
    bool defaultAnswer = false;
    // No value: the dialog is cancelled.
    std::deque<std::optional<QString>> fileAnswers;
    std::optional<OpenDialogSetup> lastDialog;
    std::function<void(const QString&)> onMessage;
    std::function<void(const QString&)> onQuestion;
    std::function<void(const QString&)> onError;
};

inline std::vector<SerialPortEntry> MakePorts(int count) {
    std::vector<SerialPortEntry> ports;
    for (int i = 0; i < count; ++i) {
        ports.push_back({"\\Device\\Serial" + std::to_string(i), "COM" + std::to_string(i + 1)});
    }
    return ports;
}

inline void SetModes(bool technology, bool bootAll) {
    TechnologyMode = technology;
    BootAllMode = bootAll;
}

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

template <typename T>
T* Find(QWidget* window, const char* name) {
    return window->findChild<T*>(QString::fromLatin1(name));
}

}  // namespace kvr::test
