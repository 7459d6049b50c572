#include "common/pipe_event_record.h"

namespace {

// char16_t rather than wchar_t: the record holds UTF-16 wherever it is built.
constexpr char16_t kFailedText[] = u"Pipe creation FAILED";
constexpr char16_t kSucceededText[] = u"Pipe creation SUCCESS";
constexpr std::uint16_t kErrorType = 1;
constexpr std::uint16_t kInformationType = 4;
constexpr std::uint16_t kPipeCategory = 3;
constexpr std::uint32_t kPipeEventId = 0xC0020100;

}  // namespace

PipeEventRecord MakePipeEventRecord(bool opened) {
    if (opened) {
        return {kInformationType, kPipeCategory, kPipeEventId, kSucceededText,
                static_cast<std::uint32_t>(sizeof kSucceededText)};
    }
    return {kErrorType, kPipeCategory, kPipeEventId, kFailedText,
            static_cast<std::uint32_t>(sizeof kFailedText)};
}
