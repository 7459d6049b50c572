#include "common/port_names.h"

#include <algorithm>
#include <cwctype>
#include <tuple>

#include "common/text.h"

namespace {

constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";

// The n of "COMn", or 0 for any other name.
unsigned long ComNumber(const std::wstring& name) {
    if (name.size() < 4 || name.size() > 12 || std::towupper(name[0]) != L'C' ||
        std::towupper(name[1]) != L'O' || std::towupper(name[2]) != L'M') {
        return 0;
    }
    unsigned long number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9') {
            return 0;
        }
        number = number * 10 + static_cast<unsigned long>(name[i] - L'0');
    }
    return number;
}

// COMn by n, before every other name; those by their letters.
auto SortKey(const std::wstring& name) {
    const unsigned long number = ComNumber(name);
    return std::make_tuple(number == 0, number, UpperCase(name));
}

}  // namespace

std::wstring PortDevicePath(const wchar_t* name) {
    const std::wstring given(name);
    if (given.empty() || given.find(L'\\') != std::wstring::npos) {
        return given;
    }
    return kDevicePrefix + given;
}

bool IsComName(const std::wstring& name) {
    return ComNumber(name) != 0;
}

std::vector<std::wstring> SortPortNames(std::vector<std::wstring> names) {
    for (std::wstring& name : names) {
        if (const unsigned long number = ComNumber(name)) {
            name = L"COM" + std::to_wstring(number);
        }
    }
    std::sort(names.begin(), names.end(), PortNameBefore);
    names.erase(std::unique(names.begin(), names.end(),
                            [](const std::wstring& a, const std::wstring& b) {
                                return UpperCase(a) == UpperCase(b);
                            }),
                names.end());
    return names;
}

bool PortNameBefore(const std::wstring& a, const std::wstring& b) {
    return SortKey(a) < SortKey(b);
}
