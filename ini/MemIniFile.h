// In-memory INI object over one text file (settings file, language file).
// Read once at construction; lookups never modify the object, so several threads may look
// up at once. Writes change memory only until UpdateFile(); they must not run while another
// thread looks up.
//
// Text rules: every line is trimmed of characters with codes up to 32; empty lines and lines
// that begin with ";" are dropped; "[name]" opens a section; lines before the first section
// are dropped; any other line is "key=value" split at the first "=" (both sides trimmed), and a
// line without "=" is kept as it is and matches no key. Section names and keys match without
// regard to letter case (Cyrillic included); when a section or a key within it occurs more than
// once, the last occurrence is the one looked up and written.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <map>
#include <optional>
#include <vector>

namespace kvr {

class TMemIniFile {
public:
    // Reads the whole file. A missing file gives an empty object; a file that exists but
    // cannot be read (a folder, no read access, larger than kMaxIniFileBytes) throws
    // EFOpenError: "Cannot open file "<name>". <reason>".
    explicit TMemIniFile(const QString& fileName);
    // Parses bytes as if they were the file's content (fileName is kept for UpdateFile).
    TMemIniFile(const QString& fileName, const QByteArray& content);

    const QString& FileName() const { return fileName_; }

    // The value of the key (the empty text for "key="), or defaultValue when the key or its
    // section is missing.
    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    // The value read by ParseIniInteger, or defaultValue when the key is missing or its value
    // is no number.
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    bool SectionExists(const QString& section) const;
    // Section names in file order, each name once.
    QStringList ReadSections() const;
    // Keys of a section, in file order (last occurrence decides duplicates' values).
    QStringList ReadSection(const QString& section) const;

    // Replaces the key's value in place, or appends the key to the end of its section, adding
    // the section at the end when it is missing. Throws kvr::Exception, changing nothing, when
    // the text could not be read back as written: a line break anywhere, an empty key, a key
    // with "=" or beginning with ";" or "[", or blanks (codes up to 32) at either end of the
    // section name or key. Blanks at the ends of a value are lost on reading back, as the text
    // format trims them.
    void WriteString(const QString& section, const QString& key, const QString& value);
    // Writes the value in decimal.
    void WriteInteger(const QString& section, const QString& key, int value);

    // The file's text as UpdateFile() would write it, already encoded (EncodeIniText): each
    // section as "[name]", its lines as "key=value" (or as read, for lines without "="), then
    // an empty line; lines end with CR LF.
    QByteArray Serialize() const;
    // Rewrites the whole file atomically (temporary file, then rename): a failure part-way
    // leaves the old file as it was. Throws EFileStreamError "Cannot create file "<name>".
    // <reason>" when the file cannot be written.
    void UpdateFile() const;

    // Files above this size are refused rather than read into memory.
    static constexpr qint64 kMaxIniFileBytes = 16 * 1024 * 1024;

private:
    // Orders texts the way sections and keys match: case-insensitive, Cyrillic included.
    struct CaseInsensitiveLess {
        bool operator()(const QString& a, const QString& b) const;
    };
    using NameIndex = std::map<QString, std::size_t, CaseInsensitiveLess>;

    struct Line {
        QString key;    // trimmed key, empty for a line without "="
        QString value;  // trimmed value, or the whole trimmed line when there is no "="
        bool hasEquals = false;
    };
    struct Section {
        QString name;
        std::vector<Line> lines;
        NameIndex keys;  // key -> index into lines of its last occurrence
    };

    void Parse(const QString& text);
    const Section* FindSection(const QString& name) const;
    Section* FindSection(const QString& name);

    QString fileName_;
    std::vector<Section> sections_;
    NameIndex sectionIndex_;  // name -> index into sections_ of its last occurrence
};

// Decodes an INI file's bytes: a byte-order mark (UTF-8, UTF-16 LE/BE) decides; without one,
// valid UTF-8 that holds non-ASCII is UTF-8, anything else Windows-1251.
QString DecodeIniText(const QByteArray& bytes);
// Windows-1251 when every character fits, else UTF-8 with a byte-order mark. UTF-8 is also
// chosen when the Windows-1251 bytes would read back as UTF-8, so that DecodeIniText always
// returns the text that was encoded.
QByteArray EncodeIniText(const QString& text);
// Windows-1251, one byte per character; nothing when a character has no byte there.
std::optional<QByteArray> EncodeWindows1251(const QString& text);

// True when bytes are well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF, no truncated sequence).
bool IsValidUtf8(const QByteArray& bytes);

// An integer value: optional "+" or "-", then decimal digits, or hexadecimal digits after
// "0x", "0X" or "$". Nothing else may surround it. Empty when the text is no number or the
// number lies outside the range of int.
std::optional<int> ParseIniInteger(const QString& text);

// The text without leading and trailing characters whose code is 32 or less.
QString TrimControlChars(const QString& text);

}  // namespace kvr
