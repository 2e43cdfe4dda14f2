// A prompter for window tests: records every box and dialog and answers from a script.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "Prompter.h"

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

}  // namespace kvr::test
