#include "TestPages.h"

#include <QString>
#include <random>

#include "PackageLoader.h"

namespace kvr::test {

PageMap MakePages(int count, int dataBytes, uint32_t seed) {
    PageMap pages;
    std::mt19937 random(seed);
    for (int i = 0; i < count; ++i) {
        PackagePage page;
        for (auto& b : page.pageHeader)
            b = static_cast<uint8_t>(random());
        page.pageData.resize(dataBytes);
        for (int k = 0; k < dataBytes; ++k)
            page.pageData[k] = static_cast<char>(random());
        pages[i] = page;
    }
    return pages;
}

PageMap PagesOfPackage(const QByteArray& file) {
    UpdatePackage package;
    QString error;
    return ParseUpdatePackage(file, package, error) ? package.pages : PageMap{};
}

}  // namespace kvr::test
