// A plain, slow reading of the INI text rules, kept apart from TMemIniFile so that the two can
// be compared on any text: sections and entries in file order, lookups by the last occurrence
// (letter case aside), and the text a rewrite must produce.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace kvr::fuzz {

// Without the characters of code 32 or less at either end.
QString TrimBlanks(const QString& text);

// The integer the rules read from a value: optional sign, then decimal digits, or hexadecimal
// digits after "0x", "0X" or "$"; nothing else around it; within the range of int.
std::optional<int> ReferenceIniInteger(const QString& text);

class IniModel {
public:
    struct Entry {
        QString key;    // empty for a line without "="
        QString value;  // the whole line when there is no "="
        bool hasEquals = false;
    };
    struct Section {
        QString name;
        std::vector<Entry> entries;
    };

    // From the decoded text of a file.
    explicit IniModel(const QString& text);

    // The value of the key's last occurrence in the section's last occurrence.
    std::optional<QString> Lookup(const QString& section, const QString& key) const;
    // Section names in file order, each once (first spelling).
    QStringList SectionNames() const;
    // Keys of the section's last occurrence, in order, each once (first spelling).
    QStringList Keys(const QString& section) const;
    const std::vector<Section>& Sections() const { return sections_; }

    // What a rewrite writes (before encoding): every section with its lines, CR LF endings.
    QString Rewritten() const;

    // A text write as the rules describe it. False, with nothing changed, when the entry could
    // not be read back as written (line breaks, an empty key, a key with "=" or beginning with
    // ";" or "[", blanks at the ends of the section name or the key, a UTF-16 surrogate without
    // its partner anywhere).
    bool Write(const QString& section, const QString& key, const QString& value);

private:
    const Section* FindLast(const QString& name) const;

    std::vector<Section> sections_;
};

}  // namespace kvr::fuzz
