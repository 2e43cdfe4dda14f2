// Reading and validating update packages (.bsk), and the texts of their version lists.
//
// The loader knows nothing of windows, ports or the update engine: the window, the command
// line and the tests all call the same two functions and decide themselves how to show the
// outcome. Every function here runs on the calling thread; nothing is shared between calls.
//
// Validation order (the first failing check decides the text, which goes through Translate):
//   1. the last byte must be the XOR of all bytes before it
//        "Неправильный формат файла. Указанный файл был изменен."
//      (an empty file has no checksum byte and fails check 2 instead);
//   2. at least 26 bytes               "Неправильный формат файла. Ошибка заголовка."
//   3. bytes 0-8 are "BOOT_KVR" and 0  "Неправильный формат файла. Файл не предназначен для этой
//                                       программы."
//   4. at most 20 hardware versions    "Неправильный формат файла. Ошибка размера заголовка."
//   5. at least hwCount + 282 bytes    "Неправильный формат файла. Ошибка размера заголовка!"
//   6. a page size of at least 8       "Неправильный формат файла. Ошибка размера заголовка."
//   7. both lists and the 2-byte field after them lie inside page 0, and the file holds every
//      page before its checksum byte   "Неправильный формат файла. Ошибка размера заголовка!"
// Missing bytes are never filled in (they would reach the device as firmware) and nothing is
// read beyond the end of the buffer, whatever the header claims.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

#include "UpdatePackage.h"

namespace kvr {

// Checks `bytes` as a package file and splits it into pages. On success replaces `out`
// completely and returns true. On failure returns false with the translated text in `error`
// and leaves `out` exactly as it was. The bytes are read front to back once: the header is
// checked first, then each page is folded into the checksum as it is copied out, and the last
// byte decides.
//
// progress(percent) follows the page split like the window's progress bar: 0 first, then
// i * 100 / pageCount as page i is split, and 0 at the end; a value equal to the previous call
// is not repeated, so four pages give 0, 25, 50, 75, 0 and one page gives 0 alone. It is
// called only once the header has passed every check; if the split then fails (a wrong
// checksum, a file that ends early) the sequence still ends with 0 before the failure returns.
//
// Memory: the pages (one QByteArray each, about 100 bytes of bookkeeping per page) and a
// 64 KiB chunk for bytes after the last page; nothing else in proportion to the file.
bool ParseUpdatePackage(const QByteArray& bytes, UpdatePackage& out, QString& error,
                        const std::function<void(int)>& progress = {});

// The same straight from a file, without a buffer of the whole file: the peak is the pages
// themselves. A file that cannot be opened gives "Cannot open file "<path>". <system reason>"
// (not translated), as does one that is no regular file (a pipe or a device would block or
// never end); a read error, or a file that turns out shorter than its size said, gives
// "Cannot read file "<path>". <reason>". Out of memory gives "Out of memory". In every failure
// `out` is left untouched.
bool LoadUpdatePackageFile(const QString& path, UpdatePackage& out, QString& error,
                           const std::function<void(int)>& progress = {});

// "<major>.<minor>.<value>" in plain decimal: 17, 2, 1 gives "17.2.1".
QString FormatHardwareVersionText(uint8_t hwPrefixMajor, uint16_t hwPrefixMinor, uint16_t value);

// The four 4-bit digits, high nibble first, in plain decimal: 0x1203 gives "1.2.0.3",
// 0x10A5 gives "1.0.10.5".
QString FormatProgramVersionText(uint16_t value);

}  // namespace kvr
