// In-memory INI object over one text file (settings file, language file).
// Read once at construction; lookups never modify the object, so several threads may look
// up at once. Writes change memory only until UpdateFile().
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

namespace kvr {

class TMemIniFile {
public:
    // Reads the whole file. A missing file gives an empty object; a file that exists but
    // cannot be read throws EFOpenError.
    explicit TMemIniFile(const QString& fileName);
    // Parses bytes as if they were the file's content (fileName is kept for UpdateFile).
    TMemIniFile(const QString& fileName, const QByteArray& content);

    const QString& FileName() const { return fileName_; }

    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    bool SectionExists(const QString& section) const;
    QStringList ReadSections() const;
    // Keys of a section, in file order (last occurrence decides duplicates' values).
    QStringList ReadSection(const QString& section) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);

    // The file's text as UpdateFile() would write it, already encoded.
    QByteArray Serialize() const;
    // Rewrites the whole file atomically. Throws kvr::Exception (EFCreateError-like text)
    // when the file cannot be written; the old file is then left as it was.
    void UpdateFile() const;

private:
    struct Line {
        QString key;    // trimmed key, empty for a line without "="
        QString value;  // trimmed value, or the whole trimmed line when there is no "="
        bool hasEquals = false;
    };
    struct Section {
        QString name;
        std::vector<Line> lines;
    };

    void Parse(const QString& text);
    const Section* FindSection(const QString& name) const;
    Section* FindSection(const QString& name);

    QString fileName_;
    std::vector<Section> sections_;
};

// Decodes an INI file's bytes: a byte-order mark (UTF-8, UTF-16 LE/BE) decides; without one,
// valid UTF-8 that holds non-ASCII is UTF-8, anything else Windows-1251.
QString DecodeIniText(const QByteArray& bytes);
// Windows-1251 when every character fits, else UTF-8 with a byte-order mark.
QByteArray EncodeIniText(const QString& text);

}  // namespace kvr
