#include "pipe/hyperv_view.h"

#include <cstdint>

#include "config/settings_record.h"

namespace {

// Just what the reader's JSON needs: one value, its kind, its text (a
// string's, a number's digits) and its members or items.
struct Json {
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    std::wstring text;
    std::vector<std::wstring> keys;  // an object's member names
    std::vector<Json> items;         // an array's items, an object's values

    const Json* Member(std::wstring_view key) const {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) {
                return &items[i];
            }
        }
        return nullptr;
    }
    std::wstring Text(std::wstring_view key) const {
        const Json* member = Member(key);
        return member != nullptr && member->kind != Kind::Null ? member->text : L"";
    }
};

void AppendCodePoint(std::wstring& text, char32_t point) {
    if (sizeof(wchar_t) == 2 && point > 0xFFFF) {
        point -= 0x10000;
        text += static_cast<wchar_t>(0xD800 + (point >> 10));
        text += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
    } else {
        text += static_cast<wchar_t>(point);
    }
}

// One UTF-8 sequence whose first byte, lead, was just read; at is past it.
char32_t ReadUtf8(std::string_view text, std::size_t& at, unsigned char lead) {
    const int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t point = lead & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        if (at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        point = (point << 6) | (static_cast<unsigned char>(text[at++]) & 0x3F);
    }
    return more == 0 && lead >= 0x80 ? 0xFFFD : point;
}

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    bool ReadAll(Json& value) {
        if (!ReadValue(value, 0)) {
            return false;
        }
        SkipSpace();
        return at_ == text_.size() || Fail(L"more text after the end");
    }
    std::wstring problem;

private:
    static constexpr int kDepthLimit = 16;

    bool Fail(const wchar_t* why) {
        problem = std::wstring(why) + L" at character " + std::to_wstring(at_ + 1);
        return false;
    }
    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }
    bool Take(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool TakeWord(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool ReadValue(Json& value, int depth) {
        if (depth > kDepthLimit) {
            return Fail(L"nested too deep");
        }
        SkipSpace();
        if (at_ >= text_.size()) {
            return Fail(L"the text ends early");
        }
        const char c = text_[at_];
        if (c == '"') {
            value.kind = Json::Kind::String;
            return ReadString(value.text);
        }
        if (c == '[' || c == '{') {
            return ReadList(value, depth, c == '{');
        }
        if (TakeWord("null")) {
            return true;
        }
        for (const char* word : {"true", "false"}) {
            if (TakeWord(word)) {
                value.kind = Json::Kind::Boolean;
                value.text.assign(word, word + std::char_traits<char>::length(word));
                return true;
            }
        }
        value.kind = Json::Kind::Number;
        while (at_ < text_.size() &&
               std::string_view("+-.0123456789eE").find(text_[at_]) != std::string_view::npos) {
            value.text += static_cast<wchar_t>(text_[at_++]);
        }
        return !value.text.empty() || Fail(L"unexpected character");
    }

    bool ReadList(Json& value, int depth, bool object) {
        value.kind = object ? Json::Kind::Object : Json::Kind::Array;
        const char close = object ? '}' : ']';
        ++at_;
        if (Take(close)) {
            return true;
        }
        do {
            if (object) {
                SkipSpace();
                value.keys.emplace_back();
                if (at_ >= text_.size() || text_[at_] != '"' || !ReadString(value.keys.back())) {
                    return problem.empty() ? Fail(L"a member name is missing") : false;
                }
                if (!Take(':')) {
                    return Fail(L"':' is missing");
                }
            }
            value.items.emplace_back();
            if (!ReadValue(value.items.back(), depth + 1)) {
                return false;
            }
        } while (Take(','));
        return Take(close) || Fail(object ? L"'}' is missing" : L"']' is missing");
    }

    bool ReadHex(char32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const char c = at_ < text_.size() ? text_[at_] : '\0';
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return Fail(L"a \\u escape needs four hex digits");
            }
            unit = unit * 16 + static_cast<char32_t>(digit);
        }
        return true;
    }

    bool ReadString(std::wstring& text) {
        ++at_;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                AppendCodePoint(text, c < 0x80 ? c : ReadUtf8(text_, at_, c));
                continue;
            }
            const char escape = at_ < text_.size() ? text_[at_++] : '\0';
            const std::string_view from = "\"\\/bfnrt";
            const std::wstring_view to = L"\"\\/\b\f\n\r\t";
            if (const auto plain = from.find(escape); plain != std::string_view::npos) {
                text += to[plain];
                continue;
            }
            char32_t unit = 0;
            if (escape != 'u' || !ReadHex(unit)) {
                return problem.empty() ? Fail(L"unknown escape") : false;
            }
            // A pair of escapes stands for one character beyond the first plane.
            char32_t low = 0;
            if (unit >= 0xD800 && unit < 0xDC00 && TakeWord("\\u") && ReadHex(low) &&
                low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendCodePoint(text, unit);
        }
        return Fail(L"a string is not closed");
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

std::wstring Quoted(const std::wstring& name) {
    return L"'" + name + L"'";
}

std::wstring ComName(int index) {
    return L"COM " + std::to_wstring(index + 1);
}

std::wstring BridgeShown(const BridgeEnds& bridge) {
    return bridge.name.empty() ? L"(default)" : bridge.name;
}

}  // namespace

bool ParseVmList(std::string_view json, std::vector<VmRecord>& vms, std::wstring& problem) {
    Json root;
    JsonReader reader(json);
    if (!reader.ReadAll(root)) {
        problem = reader.problem;
        return false;
    }
    std::vector<Json> single;
    const std::vector<Json>* items = &root.items;
    if (root.kind == Json::Kind::Object) {
        single.push_back(root);
        items = &single;
    } else if (root.kind != Json::Kind::Array) {
        problem = L"not a list of virtual machines";
        return false;
    }
    vms.clear();
    for (const Json& item : *items) {
        VmRecord vm;
        vm.name = item.Text(L"Name");
        vm.id = item.Text(L"Id");
        vm.state = item.Text(L"State");
        const Json* generation = item.Member(L"Generation");
        if (item.kind != Json::Kind::Object || vm.name.empty() || generation == nullptr ||
            generation->kind != Json::Kind::Number) {
            problem = L"a virtual machine without its name or generation";
            return false;
        }
        for (const wchar_t digit : generation->text) {
            vm.generation =
                vm.generation * 10 + (digit >= L'0' && digit <= L'9' ? digit - L'0' : 0);
        }
        if (const Json* ports = item.Member(L"ComPorts"); ports != nullptr) {
            for (const Json& port : ports->items) {
                const std::wstring name = port.Text(L"Name");
                if (name == L"COM 1" || name == L"COM 2") {
                    vm.comPath[name.back() - L'1'] = port.Text(L"Path");
                }
            }
        }
        vms.push_back(std::move(vm));
    }
    return true;
}

std::wstring JsonTextOrRaw(std::string_view text) {
    Json value;
    JsonReader reader(text);
    if (reader.ReadAll(value) && value.kind == Json::Kind::String) {
        return value.text;
    }
    std::wstring raw;
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at++]);
        AppendCodePoint(raw, c < 0x80 ? c : ReadUtf8(text, at, c));
    }
    while (!raw.empty() && (raw.back() == L'\n' || raw.back() == L'\r' || raw.back() == L' ')) {
        raw.pop_back();
    }
    return raw;
}

std::wstring JsonString(const std::wstring& text) {
    std::wstring json = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            json += L'\\';
            json += c;
        } else if (c < 0x20) {
            constexpr wchar_t kHex[] = L"0123456789abcdef";
            json += L"\\u00";
            json += kHex[c >> 4];
            json += kHex[c & 15];
        } else {
            json += c;
        }
    }
    return json + L"\"";
}

std::wstring EncodedCommand(const std::wstring& script) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : script) {
        auto unit = static_cast<std::uint32_t>(c);
        if (unit > 0xFFFF) {  // where wchar_t is 32 bits wide
            unit -= 0x10000;
            for (const std::uint32_t half : {0xD800 + (unit >> 10), 0xDC00 + (unit & 0x3FF)}) {
                bytes.push_back(static_cast<std::uint8_t>(half));
                bytes.push_back(static_cast<std::uint8_t>(half >> 8));
            }
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    constexpr wchar_t kDigits[] =
        L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::wstring encoded;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const std::uint32_t group =
            (bytes[i] << 16) | (left > 1 ? bytes[i + 1] << 8 : 0) | (left > 2 ? bytes[i + 2] : 0);
        for (std::size_t k = 0; k < 4; ++k) {
            encoded += k <= left ? kDigits[(group >> (18 - 6 * k)) & 63] : L'=';
        }
    }
    return encoded;
}

bool SamePipePath(const std::wstring& a, const std::wstring& b) {
    return UpperCase(a) == UpperCase(b);
}

const BridgeEnds* BridgeOfPipe(const std::vector<BridgeEnds>& bridges, const std::wstring& path) {
    for (const BridgeEnds& bridge : bridges) {
        if (!path.empty() && SamePipePath(path, kPipePathPrefix + bridge.pipeName)) {
            return &bridge;
        }
    }
    return nullptr;
}

std::wstring VmListText(const std::vector<VmRecord>& vms, const std::vector<BridgeEnds>& bridges) {
    if (vms.empty()) {
        return L"Hyper-V has no virtual machines on this computer.";
    }
    std::wstring text;
    for (const VmRecord& vm : vms) {
        text += L"VM " + Quoted(vm.name) + L"  " + vm.state + L"  generation " +
                std::to_wstring(vm.generation) + L"\r\n";
        for (int i = 0; i < 2; ++i) {
            const std::wstring& path = vm.comPath[i];
            text += L"  " + ComName(i) + L": " + (path.empty() ? L"(not set)" : path);
            if (const BridgeEnds* bridge = BridgeOfPipe(bridges, path); bridge != nullptr) {
                text += L"  <- bridge " + BridgeShown(*bridge);
            }
            text += L"\r\n";
        }
    }
    text.resize(text.size() - 2);
    return text;
}

std::wstring VmListJson(const std::vector<VmRecord>& vms, const std::vector<BridgeEnds>& bridges) {
    std::wstring json = L"[";
    for (const VmRecord& vm : vms) {
        json += (json.size() > 1 ? L",\r\n {" : L"{") + std::wstring(L"\"name\": ") +
                JsonString(vm.name) + L", \"id\": " + JsonString(vm.id) + L", \"state\": " +
                JsonString(vm.state) + L", \"generation\": " + std::to_wstring(vm.generation) +
                L", \"comPorts\": [";
        for (int i = 0; i < 2; ++i) {
            const BridgeEnds* bridge = BridgeOfPipe(bridges, vm.comPath[i]);
            json += (i == 0 ? L"{" : L", {") + std::wstring(L"\"number\": ") +
                    std::to_wstring(i + 1) + L", \"path\": " + JsonString(vm.comPath[i]) +
                    L", \"bridge\": " + (bridge != nullptr ? JsonString(bridge->name) : L"null") +
                    L"}";
        }
        json += L"]}";
    }
    return json + L"]";
}

std::vector<const VmRecord*> VmsNamed(const std::vector<VmRecord>& vms, const std::wstring& name) {
    std::vector<const VmRecord*> found;
    for (const VmRecord& vm : vms) {
        if (UpperCase(vm.name) == UpperCase(name)) {
            found.push_back(&vm);
        }
    }
    return found;
}

std::wstring VmLookupProblem(const std::vector<const VmRecord*>& found, const std::wstring& name) {
    if (found.empty()) {
        return L"Hyper-V has no VM named " + Quoted(name) + L". --list-vms shows the VMs.";
    }
    if (found.size() > 1) {
        return L"Hyper-V has " + std::to_wstring(found.size()) + L" VMs named " + Quoted(name) +
               L"; rename all but one in Hyper-V Manager first.";
    }
    return L"";
}

std::wstring AttachRefusal(const VmRecord& vm, int com, const std::wstring& path, bool force) {
    const std::wstring& current = vm.comPath[com - 1];
    if (force || current.empty() || SamePipePath(current, path)) {
        return L"";
    }
    return VmPortText(vm, com) + L" is set to " + current + L"; give --force to set it to " + path +
           L" instead.";
}

std::wstring VmPortText(const VmRecord& vm, int com) {
    return ComName(com - 1) + L" of VM " + Quoted(vm.name);
}

std::wstring VmPortChoice(const VmRecord& vm, int com) {
    const std::wstring& path = vm.comPath[com - 1];
    return vm.name + L" (" + vm.state + L"), " + ComName(com - 1) + L": " +
           (path.empty() ? L"(not set)" : path);
}

std::wstring RunningVmNote(const VmRecord& vm) {
    // Hyper-V takes a running VM's new setting while it runs.
    return vm.state == L"Off"
               ? L""
               : L" The VM is " + vm.state + L": the change takes effect as Hyper-V applies it.";
}

std::wstring LocalPipeName(const std::wstring& path) {
    const std::wstring prefix = kPipePathPrefix;
    return path.size() > prefix.size() && SamePipePath(path.substr(0, prefix.size()), prefix)
               ? path.substr(prefix.size())
               : L"";
}

std::wstring MissingPipeText(const std::vector<VmRecord>& vms, const std::wstring& pipePath) {
    std::wstring text;
    for (const VmRecord& vm : vms) {
        for (int i = 0; i < 2; ++i) {
            if (!vm.comPath[i].empty() && SamePipePath(vm.comPath[i], pipePath)) {
                text += (text.empty() ? L"The pipe belongs to VM " : L"; and to VM ") +
                        Quoted(vm.name) + L" (" + ComName(i) + L"), which is " + vm.state;
            }
        }
    }
    return text.empty() ? L"No VM's COM port is set to " + pipePath : text;
}

std::wstring HyperVProblemText(HyperVResult result, const std::wstring& detail) {
    switch (result) {
        case HyperVResult::Done:
        case HyperVResult::Cancelled:
            return L"";
        case HyperVResult::NotAllowed:
            return L"only administrators and members of Hyper-V Administrators may ask Hyper-V "
                   L"about its virtual machines";
        case HyperVResult::Absent:
            return L"Hyper-V is not installed on this computer, or not its module for Windows "
                   L"PowerShell (" +
                   detail + L")";
        case HyperVResult::NoPowerShell:
            return L"Windows PowerShell, through which Vantrel asks Hyper-V, is not at " + detail;
        case HyperVResult::TimedOut:
            return L"Hyper-V did not answer within " + std::to_wstring(kHyperVTimeLimitMs / 1000) +
                   L" seconds";
        case HyperVResult::NoSuchVm:
            return L"Hyper-V no longer has that VM (" + detail + L")";
        case HyperVResult::Failed:
            break;
    }
    return L"Hyper-V said: " + detail;
}
