#include "MemIniFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <string>

#include "Exception.h"

namespace kvr {

namespace {

constexpr QChar kCommentStart = u';';
constexpr QChar kSectionOpen = u'[';
constexpr QChar kSectionClose = u']';
constexpr QChar kKeyValueSeparator = u'=';
constexpr char kLineEnd[] = "\r\n";

std::string Quoted(const QString& text) {
    return "\"" + text.toStdString() + "\"";
}

[[noreturn]] void ThrowOpenError(const QString& fileName, const QString& reason) {
    throw EFOpenError("Cannot open file " + Quoted(fileName) + ". " + reason.toStdString());
}

[[noreturn]] void ThrowCreateError(const QString& fileName, const QString& reason) {
    throw EFileStreamError("Cannot create file " + Quoted(fileName) + ". " + reason.toStdString());
}

QByteArray ReadWholeFile(const QString& fileName) {
    const QFileInfo info(fileName);
    if (info.isDir())
        ThrowOpenError(fileName, QStringLiteral("It is a folder."));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        ThrowOpenError(fileName, file.errorString());
    // One byte past the limit tells an oversized file from one that just fits, also for
    // files whose size the system does not report.
    // The reported size only sizes the first read, so a small file costs no large buffer.
    const qint64 limit = TMemIniFile::kMaxIniFileBytes + 1;
    const qint64 reported = file.size();
    const qint64 first = reported > 0 && reported < limit ? reported + 1 : limit;
    QByteArray bytes = file.read(first);
    if (bytes.size() == first && first < limit && file.error() == QFileDevice::NoError)
        bytes += file.read(limit - first);  // the file grew since its size was taken
    if (file.error() != QFileDevice::NoError)
        ThrowOpenError(fileName, file.errorString());
    if (bytes.size() > TMemIniFile::kMaxIniFileBytes) {
        ThrowOpenError(
            fileName,
            QStringLiteral("The file is larger than %1 bytes.").arg(TMemIniFile::kMaxIniFileBytes));
    }
    return bytes;
}

// Splits at CR LF, LF or CR.
QStringList SplitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}

bool HasLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

bool HasOuterBlanks(const QString& text) {
    return TrimControlChars(text).size() != text.size();
}

[[noreturn]] void ThrowUnwritable(const QString& section, const QString& key, const char* why) {
    throw Exception("Cannot write key " + Quoted(key) + " of section " + Quoted(section) + ": " +
                    why + ".");
}

bool HasUnpairedSurrogate(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

void CheckWritable(const QString& section, const QString& key, const QString& value) {
    if (HasUnpairedSurrogate(section) || HasUnpairedSurrogate(key) || HasUnpairedSurrogate(value))
        ThrowUnwritable(section, key, "the text holds a broken UTF-16 surrogate pair");
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        ThrowUnwritable(section, key, "a line break would split the entry");
    if (HasOuterBlanks(section))
        ThrowUnwritable(section, key, "the section name begins or ends with a blank");
    if (key.isEmpty())
        ThrowUnwritable(section, key, "the key is empty");
    if (HasOuterBlanks(key))
        ThrowUnwritable(section, key, "the key begins or ends with a blank");
    if (key.contains(kKeyValueSeparator))
        ThrowUnwritable(section, key, "the key contains \"=\"");
    if (key.startsWith(kCommentStart) || key.startsWith(kSectionOpen))
        ThrowUnwritable(section, key, "the key would read back as a comment or a section");
}

}  // namespace

bool TMemIniFile::CaseInsensitiveLess::operator()(const QString& a, const QString& b) const {
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

TMemIniFile::TMemIniFile(const QString& fileName) : fileName_(fileName) {
    if (!QFileInfo::exists(fileName))
        return;
    Parse(DecodeIniText(ReadWholeFile(fileName)));
}

TMemIniFile::TMemIniFile(const QString& fileName, const QByteArray& content) : fileName_(fileName) {
    Parse(DecodeIniText(content));
}

void TMemIniFile::Parse(const QString& text) {
    Section* current = nullptr;
    for (const QString& rawLine : SplitLines(text)) {
        const QString line = TrimControlChars(rawLine);
        if (line.isEmpty() || line.startsWith(kCommentStart))
            continue;
        if (line.startsWith(kSectionOpen) && line.endsWith(kSectionClose) && line.size() >= 2) {
            sections_.push_back(Section{TrimControlChars(line.mid(1, line.size() - 2)), {}, {}});
            current = &sections_.back();
            sectionIndex_[current->name] = sections_.size() - 1;
            continue;
        }
        if (current == nullptr)
            continue;
        Line entry;
        const qsizetype eq = line.indexOf(kKeyValueSeparator);
        if (eq < 0) {
            entry.value = line;
        } else {
            entry.hasEquals = true;
            entry.key = TrimControlChars(line.left(eq));
            entry.value = TrimControlChars(line.mid(eq + 1));
        }
        current->lines.push_back(std::move(entry));
        if (current->lines.back().hasEquals)
            current->keys[current->lines.back().key] = current->lines.size() - 1;
    }
}

const TMemIniFile::Section* TMemIniFile::FindSection(const QString& name) const {
    const auto it = sectionIndex_.find(name);
    return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

TMemIniFile::Section* TMemIniFile::FindSection(const QString& name) {
    const auto it = sectionIndex_.find(name);
    return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

QString TMemIniFile::ReadString(const QString& section, const QString& key,
                                const QString& defaultValue) const {
    const Section* s = FindSection(section);
    if (s == nullptr)
        return defaultValue;
    const auto it = s->keys.find(key);
    return it == s->keys.end() ? defaultValue : s->lines[it->second].value;
}

int TMemIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const {
    const Section* s = FindSection(section);
    if (s == nullptr)
        return defaultValue;
    const auto it = s->keys.find(key);
    if (it == s->keys.end())
        return defaultValue;
    return ParseIniInteger(s->lines[it->second].value).value_or(defaultValue);
}

bool TMemIniFile::SectionExists(const QString& section) const {
    return FindSection(section) != nullptr;
}

QStringList TMemIniFile::ReadSections() const {
    QStringList names;
    NameIndex seen;
    for (const Section& s : sections_) {
        if (seen.emplace(s.name, 0).second)
            names.append(s.name);
    }
    return names;
}

QStringList TMemIniFile::ReadSection(const QString& section) const {
    QStringList keys;
    const Section* s = FindSection(section);
    if (s == nullptr)
        return keys;
    NameIndex seen;
    for (const Line& line : s->lines) {
        if (line.hasEquals && seen.emplace(line.key, 0).second)
            keys.append(line.key);
    }
    return keys;
}

void TMemIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    CheckWritable(section, key, value);
    Section* s = FindSection(section);
    if (s == nullptr) {
        sections_.push_back(Section{section, {}, {}});
        s = &sections_.back();
        sectionIndex_[section] = sections_.size() - 1;
    }
    const auto it = s->keys.find(key);
    if (it != s->keys.end()) {
        s->lines[it->second].value = value;
        return;
    }
    s->lines.push_back(Line{key, value, true});
    s->keys[key] = s->lines.size() - 1;
}

void TMemIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

QByteArray TMemIniFile::Serialize() const {
    QString text;
    for (const Section& s : sections_) {
        text += kSectionOpen + s.name + kSectionClose + QLatin1String(kLineEnd);
        for (const Line& line : s.lines) {
            if (line.hasEquals)
                text += line.key + kKeyValueSeparator + line.value;
            else
                text += line.value;
            text += QLatin1String(kLineEnd);
        }
        text += QLatin1String(kLineEnd);
    }
    return EncodeIniText(text);
}

void TMemIniFile::UpdateFile() const {
    const QByteArray bytes = Serialize();
    QSaveFile file(fileName_);
    if (!file.open(QIODevice::WriteOnly))
        ThrowCreateError(fileName_, file.errorString());
    // The explicit flush matters: QSaveFile::commit() (Qt 6.4) does not notice when its own
    // final flush fails part-way, and would rename a truncated file over the old one.
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        // After a short write Qt has no reason of its own ("Unknown error"); the system's is
        // still in errno (a full disk, a file size limit).
        const int systemError = errno;
        QString reason = file.errorString();
        if (systemError != 0 && reason == QFile().errorString())
            reason = qt_error_string(systemError);
        file.cancelWriting();
        ThrowCreateError(fileName_, reason);
    }
    if (!file.commit())
        ThrowCreateError(fileName_, file.errorString());
}

}  // namespace kvr
