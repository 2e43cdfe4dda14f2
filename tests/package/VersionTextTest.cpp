// The list-box texts of the two version lists.
#include <gtest/gtest.h>

#include "PackageLoader.h"

namespace kvr {
namespace {

TEST(VersionText, ProgramVersionIsFourNibblesHighFirst) {
    struct Row {
        uint16_t value;
        const char* text;
    };
    for (const Row& row :
         {Row{0x0000, "0.0.0.0"}, Row{0xFFFF, "15.15.15.15"}, Row{0x1203, "1.2.0.3"},
          Row{0x10A5, "1.0.10.5"}, Row{0xA000, "10.0.0.0"}, Row{0x000F, "0.0.0.15"}}) {
        EXPECT_EQ(FormatProgramVersionText(row.value), QString::fromLatin1(row.text)) << row.text;
    }
}

TEST(VersionText, HardwareVersionIsPrefixThenValueInPlainDecimal) {
    EXPECT_EQ(FormatHardwareVersionText(17, 2, 1), QStringLiteral("17.2.1"));
    EXPECT_EQ(FormatHardwareVersionText(17, 2, 10), QStringLiteral("17.2.10"));
    EXPECT_EQ(FormatHardwareVersionText(0, 0, 0), QStringLiteral("0.0.0"));
    EXPECT_EQ(FormatHardwareVersionText(255, 65535, 65535), QStringLiteral("255.65535.65535"));
    EXPECT_EQ(FormatHardwareVersionText(1, 1000, 1000),
              QStringLiteral("1.1000.1000"));  // no grouping
}

}  // namespace
}  // namespace kvr
