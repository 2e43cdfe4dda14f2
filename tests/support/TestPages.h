// Pages for tests: made up from a seed, or taken from a built package file.
#pragma once

#include <QByteArray>
#include <cstdint>

#include "UpdatePackage.h"

namespace kvr::test {

// `count` pages of `dataBytes` data bytes each, headers and data pseudo-random from `seed`.
PageMap MakePages(int count, int dataBytes, uint32_t seed = 1);

// The pages of a package file's bytes; empty when it does not load.
PageMap PagesOfPackage(const QByteArray& file);

}  // namespace kvr::test
