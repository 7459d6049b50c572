#include "pipe/hyperv_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The reader's script prints ASCII only: ConvertTo-Json escapes quotes and
// backslashes, the script every other character outside ASCII.
TEST(HyperVView, ParsesNamesPathsAndStatesAndRefusesWhatIsNotAList) {
    const std::wstring kLab = L"lab \"1\" \u00e9t\u00e9 \U0001F600";
    const struct {
        const char* json;
        std::wstring name;  // of the last VM; empty when the text is refused
        std::wstring com1, com2, state;
        std::size_t count;
    } rows[] = {
        {R"([{"Name":"lab \"1\" \u00e9t\u00e9 \ud83d\ude00","Id":"6f1b","State":"Off",)"
         R"("Generation":2,"ComPorts":[{"Name":"COM 1","Path":"\\\\.\\pipe\\Vantrel"},)"
         R"({"Name":"COM 2","Path":""}]}])",
         kLab, L"\\\\.\\pipe\\Vantrel", L"", L"Off", 1},
        // Raw UTF-8 too, a single object, a port left null, spaces between tokens.
        {"{ \"Name\" : \"caf\xc3\xa9 one\", \"State\": \"Running\", \"Generation\": 1,"
         " \"ComPorts\": [{\"Name\": \"COM 2\", \"Path\": \"\\\\\\\\.\\\\pipe\\\\x y\"},"
         " {\"Name\": \"COM 1\", \"Path\": null}] }",
         L"caf\u00e9 one", L"", L"\\\\.\\pipe\\x y", L"Running", 1},
        {R"([{"Name":"a","Generation":2},{"Name":"b","Generation":1,"State":"Saved"}])", L"b", L"",
         L"", L"Saved", 2},
        {"[]", L"", L"", L"", L"", 0},
        {R"([{"Name":"a","Generation":2})", L"", L"", L"", L"", 0},
        {R"([{"Id":"x","Generation":2}])", L"", L"", L"", L"", 0},
        {R"([{"Name":"a\q","Generation":2}])", L"", L"", L"", L"", 0},
        {"WARNING: [] ", L"", L"", L"", L"", 0},
        {"\"Access denied\"", L"", L"", L"", L"", 0},
    };
    for (const auto& row : rows) {
        std::vector<VmRecord> vms;
        std::wstring problem;
        const bool parsed = ParseVmList(row.json, vms, problem);
        const bool refused = row.name.empty() && row.count == 0 && std::string(row.json) != "[]";
        EXPECT_EQ(parsed, !refused) << row.json;
        EXPECT_EQ(problem.empty(), !refused) << row.json;
        if (!parsed) {
            continue;
        }
        ASSERT_EQ(vms.size(), row.count) << row.json;
        if (row.count > 0) {
            const VmRecord& vm = vms.back();
            EXPECT_EQ(vm.name, row.name) << row.json;
            EXPECT_EQ(vm.state, row.state);
            EXPECT_EQ(vm.comPath[0], row.com1);
            EXPECT_EQ(vm.comPath[1], row.com2);
        }
    }
    EXPECT_EQ(JsonTextOrRaw("\"No \\\"Hyper-V\\\" module\"\r\n"), L"No \"Hyper-V\" module");
    EXPECT_EQ(JsonTextOrRaw("Get-VM : caf\xc3\xa9\r\n"), L"Get-VM : caf\u00e9");
    EXPECT_EQ(JsonString(L"a\"b\\c\r\u00e9"), L"\"a\\\"b\\\\c\\u000d\u00e9\"");
    // Windows PowerShell's own example: "dir" is ZABpAHIA.
    EXPECT_EQ(EncodedCommand(L"dir"), L"ZABpAHIA");
    EXPECT_EQ(EncodedCommand(L"d\U0001F600"), L"ZAA92ADe");
}

TEST(HyperVView, WhoseThePipeIsWhatMayBeAttachedAndWhatIsListed) {
    const std::wstring ours = L"\\\\.\\pipe\\Vantrel";
    std::vector<VmRecord> vms(3);
    vms[0] = {L"lab-1", L"1", L"Off", 2, {L"\\\\.\\PIPE\\vantrel", L""}};
    vms[1] = {L"Lab 2", L"2", L"Running", 1, {L"", L"\\\\.\\pipe\\other"}};
    vms[2] = {L"lab 2", L"3", L"Saved", 2, {L"", L""}};

    EXPECT_EQ(MissingPipeText(vms, ours), L"The pipe belongs to VM 'lab-1' (COM 1), which is Off");
    EXPECT_EQ(MissingPipeText(vms, L"\\\\.\\pipe\\none"),
              L"No VM's COM port is set to \\\\.\\pipe\\none");
    vms[2].comPath[1] = ours;
    EXPECT_EQ(MissingPipeText(vms, ours),
              L"The pipe belongs to VM 'lab-1' (COM 1), which is Off; "
              L"and to VM 'lab 2' (COM 2), which is Saved");

    EXPECT_EQ(AttachRefusal(vms[0], 1, ours, false), L"");  // already ours, in another case
    EXPECT_EQ(AttachRefusal(vms[0], 2, ours, false), L"");  // not set
    EXPECT_EQ(AttachRefusal(vms[1], 2, ours, true), L"");
    EXPECT_EQ(AttachRefusal(vms[1], 2, ours, false),
              L"COM 2 of VM 'Lab 2' is set to \\\\.\\pipe\\other; give --force to set it to " +
                  ours + L" instead.");
    EXPECT_EQ(VmLookupProblem(VmsNamed(vms, L"LAB-1"), L"LAB-1"), L"");
    EXPECT_NE(VmLookupProblem(VmsNamed(vms, L"lab 2"), L"lab 2").find(L"has 2 VMs named"),
              std::wstring::npos);
    EXPECT_NE(VmLookupProblem(VmsNamed(vms, L"lab"), L"lab").find(L"no VM named 'lab'"),
              std::wstring::npos);

    const std::vector<BridgeEnds> bridges = {{L"", L"COM3", L"Vantrel"}, {L"b", L"COM4", L"b"}};
    vms.resize(2);
    EXPECT_EQ(VmListText(vms, bridges),
              L"VM 'lab-1'  Off  generation 2\r\n"
              L"  COM 1: \\\\.\\PIPE\\vantrel  <- bridge (default)\r\n"
              L"  COM 2: (not set)\r\n"
              L"VM 'Lab 2'  Running  generation 1\r\n"
              L"  COM 1: (not set)\r\n"
              L"  COM 2: \\\\.\\pipe\\other");
    EXPECT_EQ(VmListJson({vms[0]}, bridges),
              L"[{\"name\": \"lab-1\", \"id\": \"1\", \"state\": \"Off\", \"generation\": 2, "
              L"\"comPorts\": [{\"number\": 1, \"path\": \"\\\\\\\\.\\\\PIPE\\\\vantrel\", "
              L"\"bridge\": \"\"}, {\"number\": 2, \"path\": \"\", \"bridge\": null}]}]");
    EXPECT_EQ(VmListText({}, bridges), L"Hyper-V has no virtual machines on this computer.");
}

}  // namespace
