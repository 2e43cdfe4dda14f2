#include "IniModel.h"

namespace kvr::fuzz {

namespace {

constexpr char16_t kBlankMax = 32;
constexpr long long kIntMax = 2147483647LL;

bool SameName(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

bool HasLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

// A surrogate without its partner has no encoding to be saved in.
bool HasUnpairedSurrogate(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

int DigitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    int v = -1;
    if (u >= u'0' && u <= u'9')
        v = u - u'0';
    else if (u >= u'a' && u <= u'f')
        v = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        v = u - u'A' + 10;
    return v < base ? v : -1;
}

}  // namespace

QString TrimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= kBlankMax)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= kBlankMax)
        --end;
    return text.mid(begin, end - begin);
}

std::optional<int> ReferenceIniInteger(const QString& text) {
    QString rest = text;
    bool negative = false;
    if (rest.startsWith(u'+') || rest.startsWith(u'-')) {
        negative = rest.startsWith(u'-');
        rest = rest.mid(1);
    }
    int base = 10;
    if (rest.startsWith(u'$')) {
        base = 16;
        rest = rest.mid(1);
    } else if (rest.startsWith(QStringLiteral("0x")) || rest.startsWith(QStringLiteral("0X"))) {
        base = 16;
        rest = rest.mid(2);
    }
    if (rest.isEmpty())
        return std::nullopt;
    long long magnitude = 0;
    for (QChar c : rest) {
        const int d = DigitValue(c, base);
        if (d < 0)
            return std::nullopt;
        magnitude = magnitude * base + d;
        if (magnitude > kIntMax + 1)
            return std::nullopt;  // too large either way; stop before overflowing
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value > kIntMax || value < -kIntMax - 1)
        return std::nullopt;
    return static_cast<int>(value);
}

IniModel::IniModel(const QString& text) {
    // Lines end at CR LF, LF or CR.
    QStringList lines;
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\r' || c == u'\n') {
            lines.append(current);
            current.clear();
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty())
        lines.append(current);

    for (const QString& raw : lines) {
        const QString line = TrimBlanks(raw);
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.size() >= 2 && line.startsWith(u'[') && line.endsWith(u']')) {
            sections_.push_back(Section{TrimBlanks(line.mid(1, line.size() - 2)), {}});
            continue;
        }
        if (sections_.empty())
            continue;  // before the first section
        Entry e;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0) {
            e.value = line;
        } else {
            e.hasEquals = true;
            e.key = TrimBlanks(line.left(eq));
            e.value = TrimBlanks(line.mid(eq + 1));
        }
        sections_.back().entries.push_back(e);
    }
}

const IniModel::Section* IniModel::FindLast(const QString& name) const {
    for (auto it = sections_.rbegin(); it != sections_.rend(); ++it) {
        if (SameName(it->name, name))
            return &*it;
    }
    return nullptr;
}

std::optional<QString> IniModel::Lookup(const QString& section, const QString& key) const {
    const Section* s = FindLast(section);
    if (s == nullptr)
        return std::nullopt;
    for (auto it = s->entries.rbegin(); it != s->entries.rend(); ++it) {
        if (it->hasEquals && SameName(it->key, key))
            return it->value;
    }
    return std::nullopt;
}

QStringList IniModel::SectionNames() const {
    QStringList names;
    for (const Section& s : sections_) {
        bool seen = false;
        for (const QString& n : names)
            seen = seen || SameName(n, s.name);
        if (!seen)
            names.append(s.name);
    }
    return names;
}

QStringList IniModel::Keys(const QString& section) const {
    QStringList keys;
    const Section* s = FindLast(section);
    if (s == nullptr)
        return keys;
    for (const Entry& e : s->entries) {
        if (!e.hasEquals)
            continue;
        bool seen = false;
        for (const QString& k : keys)
            seen = seen || SameName(k, e.key);
        if (!seen)
            keys.append(e.key);
    }
    return keys;
}

QString IniModel::Rewritten() const {
    QString text;
    for (const Section& s : sections_) {
        text += u'[' + s.name + u']' + QStringLiteral("\r\n");
        for (const Entry& e : s.entries)
            text += (e.hasEquals ? e.key + u'=' + e.value : e.value) + QStringLiteral("\r\n");
        text += QStringLiteral("\r\n");
    }
    return text;
}

bool IniModel::Write(const QString& section, const QString& key, const QString& value) {
    if (HasUnpairedSurrogate(section) || HasUnpairedSurrogate(key) || HasUnpairedSurrogate(value))
        return false;
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || key.isEmpty() ||
        TrimBlanks(section) != section || TrimBlanks(key) != key || key.contains(u'=') ||
        key.startsWith(u';') || key.startsWith(u'['))
        return false;
    Section* s = const_cast<Section*>(FindLast(section));
    if (s == nullptr) {
        sections_.push_back(Section{section, {}});
        s = &sections_.back();
    }
    for (auto it = s->entries.rbegin(); it != s->entries.rend(); ++it) {
        if (it->hasEquals && SameName(it->key, key)) {
            it->value = value;
            return true;
        }
    }
    s->entries.push_back(Entry{key, value, true});
    return true;
}

}  // namespace kvr::fuzz
