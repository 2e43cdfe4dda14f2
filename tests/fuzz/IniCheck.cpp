#include "IniCheck.h"

#include <QByteArray>
#include <QString>

#include "Exception.h"
#include "IniModel.h"
#include "MemIniFile.h"

namespace kvr::fuzz {

namespace {

const QString kFileName = QStringLiteral("fuzz.ini");
const QString kMissing = QStringLiteral("\x01missing\x01");
constexpr int kIntegerDefault = -7;
// Writes taken from the input; a handful covers replacing, appending and new sections.
constexpr int kMaxWrites = 4;

std::string Std(const QString& text) {
    return text.toStdString();
}

// Every section, key, value and integer of ini against the model.
void Compare(const TMemIniFile& ini, const IniModel& model, const char* stage, FindingLog& log) {
    const QStringList sections = model.SectionNames();
    if (ini.ReadSections() != sections) {
        log.Add(stage, ": sections differ (", ini.ReadSections().size(), " read, ", sections.size(),
                " expected)");
        return;
    }
    for (const QString& section : sections) {
        if (!ini.SectionExists(section))
            log.Add(stage, ": section [", Std(section), "] missing");
        const QStringList keys = model.Keys(section);
        if (ini.ReadSection(section) != keys) {
            log.Add(stage, ": keys of [", Std(section), "] differ");
            return;
        }
        for (const QString& key : keys) {
            const QString expected = model.Lookup(section, key).value_or(kMissing);
            const QString got = ini.ReadString(section, key, kMissing);
            if (got != expected) {
                log.Add(stage, ": [", Std(section), "] ", Std(key), " reads \"", Std(got),
                        "\", expected \"", Std(expected), "\"");
                return;
            }
            const int expectedInt = ReferenceIniInteger(expected).value_or(kIntegerDefault);
            const int gotInt = ini.ReadInteger(section, key, kIntegerDefault);
            if (gotInt != expectedInt) {
                log.Add(stage, ": [", Std(section), "] ", Std(key), " \"", Std(expected),
                        "\" reads as integer ", gotInt, ", expected ", expectedInt);
                return;
            }
            // Another spelling of the same names finds the same entry.
            if (ini.ReadString(section.toUpper(), key.toLower(), kMissing) !=
                model.Lookup(section.toUpper(), key.toLower()).value_or(kMissing))
                log.Add(stage, ": [", Std(section), "] ", Std(key), " differs in another case");
        }
    }
}

// Rewrites ini and reads the result again: the text must be what the rules write, and the new
// object must hold what the model holds.
void CheckRewrite(const TMemIniFile& ini, const IniModel& model, const char* stage,
                  FindingLog& log) {
    const QByteArray written = ini.Serialize();
    const QString text = DecodeIniText(written);
    const QString expected = model.Rewritten();
    if (text != expected) {
        qsizetype i = 0;
        while (i < text.size() && i < expected.size() && text.at(i) == expected.at(i))
            ++i;
        const auto unit = [](const QString& t, qsizetype at) {
            return at < t.size() ? static_cast<int>(t.at(at).unicode()) : -1;
        };
        log.Add(stage, ": rewritten text differs from the entries at character ", i, ": U+",
                std::hex, unit(text, i), " where U+", unit(expected, i), " belongs");
        return;
    }
    const TMemIniFile reread(kFileName, written);
    // Reading back trims values: the model of the rewritten text says what must survive.
    const IniModel rereadModel(model.Rewritten());
    Compare(reread, rereadModel, stage, log);
    for (const QString& section : model.SectionNames()) {
        for (const QString& key : model.Keys(section)) {
            if (rereadModel.Lookup(section, key) != TrimBlanks(*model.Lookup(section, key)))
                log.Add(stage, ": [", Std(section), "] ", Std(key), " lost in the rewrite");
        }
    }
    // Once trimmed, a text rewrites to itself.
    if (DecodeIniText(reread.Serialize()) != rereadModel.Rewritten())
        log.Add(stage, ": a second rewrite differs from the entries read back");
}

// Section, key and value taken from the input's text: its last line cut in three, so that
// line breaks, blanks, "=" and "[" turn up as often as the fuzzer likes.
struct Write {
    QString section;
    QString key;
    QString value;
};

std::vector<Write> WritesFrom(const QString& text, const IniModel& model) {
    std::vector<Write> writes;
    // Replace existing entries with text of others.
    for (const IniModel::Section& s : model.Sections()) {
        for (const IniModel::Entry& e : s.entries) {
            if (static_cast<int>(writes.size()) >= kMaxWrites / 2)
                break;
            if (e.hasEquals)
                writes.push_back(Write{s.name, e.key, e.value + u' ' + s.name});
        }
    }
    const qsizetype third = text.size() / 3;
    writes.push_back(Write{text.left(third), text.mid(third, third), text.mid(2 * third)});
    writes.push_back(
        Write{TrimBlanks(text.left(third)), TrimBlanks(text.mid(third, third)), text.right(third)});
    return writes;
}

}  // namespace

Finding CheckIniInput(const uint8_t* data, size_t size) {
    FindingLog log;
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        TMemIniFile ini(kFileName, bytes);
        const QString text = DecodeIniText(bytes);
        IniModel model(text);
        Compare(ini, model, "read", log);
        CheckRewrite(ini, model, "rewrite", log);
        if (!log.Empty())
            return log.First();

        for (const Write& w : WritesFrom(text, model)) {
            const QByteArray before = ini.Serialize();
            bool written = true;
            try {
                ini.WriteString(w.section, w.key, w.value);
            } catch (const Exception&) {
                written = false;
            }
            const bool writable = model.Write(w.section, w.key, w.value);
            if (written != writable) {
                log.Add("write of [", Std(w.section), "] \"", Std(w.key), "\" = \"", Std(w.value),
                        written ? "\" accepted" : "\" refused", ", the rules say otherwise");
                return log.First();
            }
            if (!written && ini.Serialize() != before)
                log.Add("a refused write changed the object");
            if (written && ini.ReadString(w.section, w.key, kMissing) != w.value)
                log.Add("a written value does not read back before the rewrite");
            Compare(ini, model, "after write", log);
        }
        CheckRewrite(ini, model, "rewrite after writes", log);

        // Integers are written in decimal and read back unchanged.
        if (!model.SectionNames().isEmpty()) {
            const QString section = model.SectionNames().constLast();
            const int value = static_cast<int>(size * 2654435761u);
            try {
                ini.WriteInteger(section, QStringLiteral("FuzzInteger"), value);
                if (ini.ReadInteger(section, QStringLiteral("fuzzinteger"), 0) != value)
                    log.Add("integer ", value, " does not read back");
            } catch (const Exception& e) {
                if (TrimBlanks(section) == section && !section.contains(u'\r') &&
                    !section.contains(u'\n'))
                    log.Add("integer write refused: ", e.what());
            }
        }
    } catch (const std::exception& e) {
        log.Add("exception escaped: ", e.what());
    }
    return log.First();
}

}  // namespace kvr::fuzz
