// The registry port list, over keys the test builds under HKEY_CURRENT_USER, and the real
// "hardware\devicemap\serialcomm" key.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "Exception.h"
#include "SerialPorts.h"
#include "SerialPortsRegistry.h"

namespace kvr::test {
namespace {

// A scratch key, deleted with everything under it at the end.
class ScratchKey {
public:
    ScratchKey() {
        static int counter = 0;
        path_ = L"Software\\KvrUplinkerTests\\ports-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(++counter);
        const LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        if (rc != ERROR_SUCCESS) {
            throw std::runtime_error("cannot create the scratch key");
        }
    }
    ~ScratchKey() {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    const wchar_t* Path() const { return path_.c_str(); }

    // Stores exactly `bytes` bytes of `data` (no terminator added).
    void SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(
            RegSetValueExW(key_, name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes),
            ERROR_SUCCESS);
    }
    void SetText(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
        SetRaw(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    std::vector<SerialPortEntry> Read(const RegistryCalls& calls = {}) const {
        return ReadSerialPortKey(HKEY_CURRENT_USER, path_.c_str(), calls);
    }

private:
    std::wstring path_;
    HKEY key_ = nullptr;
};

std::vector<std::string> PortNames(const std::vector<SerialPortEntry>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports) {
        names.push_back(p.portName);
    }
    return names;
}

std::string MessageOf(const ScratchKey& key) {
    try {
        key.Read();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no error)";
}

// The message of the EInOutError the walk raises, or what happened instead.
std::string InOutErrorOf(const ScratchKey& key, const RegistryCalls& calls) {
    try {
        key.Read(calls);
    } catch (const EInOutError& e) {
        return e.Message();
    } catch (const Exception& e) {
        return "(another exception) " + e.Message();
    }
    return "(no error)";
}

using EnumValueCall = decltype(RegistryCalls::enumValue);

// The real value listing, with `error` in place of the answer for value `index`.
RegistryCalls EnumFailingAt(DWORD index, LONG error) {
    RegistryCalls calls;
    calls.enumValue = [index, error, real = EnumValueCall(RegEnumValueW)](
                          HKEY key, DWORD i, wchar_t* name, DWORD* length, DWORD* reserved,
                          DWORD* type, BYTE* data, DWORD* dataSize) -> LONG {
        if (i == index) {
            return error;
        }
        return real(key, i, name, length, reserved, type, data, dataSize);
    };
    return calls;
}

TEST(SerialPortRegistry, MissingKeyGivesAnEmptyList) {
    EXPECT_TRUE(ReadSerialPortKey(HKEY_CURRENT_USER, L"Software\\KvrUplinkerTests\\none").empty());
}

TEST(SerialPortRegistry, KeyWithoutValuesGivesAnEmptyList) {
    ScratchKey key;
    EXPECT_TRUE(key.Read().empty());
}

TEST(SerialPortRegistry, ValuesComeInEnumerationOrderUnsortedWithDuplicates) {
    ScratchKey key;
    // Created in name order, so that Windows (creation order) and Wine (name order) agree.
    key.SetText(L"\\Device\\Serial_A", L"COM9");
    key.SetText(L"\\Device\\Serial_B", L"COM2");
    key.SetText(L"\\Device\\Serial_C", L"COM9");
    const auto ports = key.Read();
    EXPECT_EQ(PortNames(ports), (std::vector<std::string>{"COM9", "COM2", "COM9"}));
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].deviceName, "\\Device\\Serial_A");
    EXPECT_EQ(ports[2].deviceName, "\\Device\\Serial_C");
}

TEST(SerialPortRegistry, TextEndsAtItsFirstNulAndNeedsNoTerminator) {
    ScratchKey key;
    const wchar_t embedded[] = L"COM4\0junk";
    key.SetRaw(L"a-embedded", REG_SZ, embedded, sizeof embedded);
    const wchar_t bare[] = {L'C', L'O', L'M', L'5'};
    key.SetRaw(L"b-unterminated", REG_SZ, bare, sizeof bare);
    key.SetRaw(L"c-odd-size", REG_SZ, L"COM6", 7);  // three characters and half of one
    key.SetRaw(L"d-empty", REG_SZ, L"", 0);
    key.SetText(L"e-expand", L"COM7", REG_EXPAND_SZ);
    EXPECT_EQ(PortNames(key.Read()), (std::vector<std::string>{"COM4", "COM5", "COM", "", "COM7"}));
}

TEST(SerialPortRegistry, NamesAndTextsOutsideAsciiArriveAsUtf8) {
    ScratchKey key;
    key.SetText(L"\\Device\\\u041F\u043E\u0440\u0442", L"COM\u00B9");
    const auto ports = key.Read();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].deviceName, "\\Device\\\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82");
    EXPECT_EQ(ports[0].portName, "COM\xC2\xB9");
}

TEST(SerialPortRegistry, ValueThatIsNotTextIsAnError) {
    ScratchKey key;
    key.SetText(L"\\Device\\Serial0", L"COM1");
    const DWORD number = 3;
    key.SetRaw(L"\\Device\\Serial1", REG_DWORD, &number, sizeof number);
    EXPECT_EQ(MessageOf(key), "Invalid data type for '\\Device\\Serial1'");

    ScratchKey binary;
    const BYTE raw[] = {'C', 0, 'O', 0};
    binary.SetRaw(L"bin", REG_BINARY, raw, sizeof raw);
    EXPECT_EQ(MessageOf(binary), "Invalid data type for 'bin'");

    ScratchKey multi;
    const wchar_t list[] = L"COM1\0COM2\0";
    multi.SetRaw(L"multi", REG_MULTI_SZ, list, sizeof list);
    EXPECT_EQ(MessageOf(multi), "Invalid data type for 'multi'");
}

TEST(SerialPortRegistry, KeyThatCannotBeOpenedIsAnErrorNotAnEmptyList) {
    ScratchKey key;
    key.SetText(L"\\Device\\Serial0", L"COM1");
    RegistryCalls calls;
    calls.openKey = [](HKEY, const wchar_t*, DWORD, REGSAM, HKEY*) -> LONG {
        return ERROR_ACCESS_DENIED;
    };
    EXPECT_EQ(InOutErrorOf(key, calls), "Serial port list open error, code 5");
}

TEST(SerialPortRegistry, ListingThatFailsMidwayIsAnErrorNotAShorterList) {
    ScratchKey key;
    key.SetText(L"a", L"COM1");
    key.SetText(L"b", L"COM2");
    key.SetText(L"c", L"COM3");
    EXPECT_EQ(InOutErrorOf(key, EnumFailingAt(1, ERROR_ACCESS_DENIED)),
              "Serial port list enumeration error, code 5");
}

TEST(SerialPortRegistry, NameLongerThanTheLargestBufferIsAnError) {
    ScratchKey key;
    key.SetText(L"a", L"COM1");
    EXPECT_EQ(InOutErrorOf(key, EnumFailingAt(0, ERROR_MORE_DATA)),
              "Serial port list enumeration error, code 234");
}

TEST(SerialPortRegistry, NoMoreItemsEndsTheListWithoutAnError) {
    // As when values go away while the key is walked.
    ScratchKey key;
    key.SetText(L"a", L"COM1");
    key.SetText(L"b", L"COM2");
    key.SetText(L"c", L"COM3");
    std::vector<SerialPortEntry> ports;
    ASSERT_NO_THROW(ports = key.Read(EnumFailingAt(1, ERROR_NO_MORE_ITEMS)));
    EXPECT_EQ(PortNames(ports), (std::vector<std::string>{"COM1"}));
}

TEST(SerialPortRegistry, ValueAddedWhileTheKeyIsWalkedIsListed) {
    // A port that appears during the walk, like an adapter plugged in at that moment.
    ScratchKey key;
    key.SetText(L"a", L"COM1");
    key.SetText(L"b", L"COM2");
    RegistryCalls calls;
    calls.enumValue = [&key, real = EnumValueCall(RegEnumValueW)](
                          HKEY k, DWORD i, wchar_t* name, DWORD* length, DWORD* reserved,
                          DWORD* type, BYTE* data, DWORD* dataSize) -> LONG {
        if (i == 1) {
            key.SetText(L"c", L"COM3");
        }
        return real(k, i, name, length, reserved, type, data, dataSize);
    };
    EXPECT_EQ(PortNames(key.Read(calls)), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
}

TEST(SerialPortRegistry, SystemKeyListsThePortsTheSystemPublished) {
    // The lane script publishes one port (Wine: HKLM\Software\Wine\Ports) and names it here.
    const char* expected = std::getenv("KVR_TEST_REGISTRY_PORT");
    std::vector<SerialPortEntry> ports;
    ASSERT_NO_THROW(ports = EnumerateSerialPorts());
    if (expected == nullptr) {
        GTEST_SKIP() << "KVR_TEST_REGISTRY_PORT not set";
    }
    const auto names = PortNames(ports);
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end())
        << "listed: " << ::testing::PrintToString(names);
}

TEST(SerialPortRegistry, DescriptionsCarryTheListsNamesAndNothingElse) {
    const std::vector<SerialPortEntry> ports = EnumerateSerialPorts();
    const std::vector<SerialPortDetails> details = DescribeSerialPorts();
    ASSERT_EQ(details.size(), ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(details[i].portName, ports[i].portName);
        EXPECT_EQ(details[i].deviceName, ports[i].deviceName);
        EXPECT_EQ(details[i].byIdPath + details[i].usbVendorId + details[i].usbProductId +
                      details[i].usbSerialNumber + details[i].manufacturer + details[i].product +
                      details[i].driver,
                  "");
    }
}

}  // namespace
}  // namespace kvr::test
