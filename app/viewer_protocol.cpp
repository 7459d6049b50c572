#include "app/viewer_protocol.h"

#include <cstring>

std::wstring FromWire(const char16_t* text, std::size_t capacity) {
    std::wstring out;
    for (std::size_t i = 0; i < capacity && text[i] != u'\0'; ++i) {
        out += static_cast<wchar_t>(text[i]);
    }
    return out;
}

void ToWire(const std::wstring& text, char16_t* wire, std::size_t capacity) {
    std::size_t i = 0;
    for (; i + 1 < capacity && i < text.size(); ++i) {
        wire[i] = static_cast<char16_t>(text[i]);
    }
    for (; i < capacity; ++i) {
        wire[i] = u'\0';
    }
}

ViewerRequest MakeViewerRequest(ViewerCommand command, const std::wstring& bridge,
                                std::uint64_t messagesFrom, const std::wstring& traceFile) {
    ViewerRequest request{};
    request.magic = kViewerMagic;
    request.version = kViewerVersion;
    request.command = static_cast<std::uint16_t>(command);
    ToWire(bridge, request.bridge, kBridgeNameMaxLength + 1);
    request.messagesFrom = messagesFrom;
    ToWire(traceFile, request.traceFile, kViewerTextCapacity);
    return request;
}

bool ParseViewerRequest(const void* bytes, std::size_t size, ViewerRequest& request) {
    if (bytes == nullptr || size != sizeof request) {
        return false;
    }
    std::memcpy(&request, bytes, sizeof request);
    if (request.magic != kViewerMagic || request.version != kViewerVersion ||
        request.command < static_cast<std::uint16_t>(ViewerCommand::Snapshot) ||
        request.command > static_cast<std::uint16_t>(ViewerCommand::StopTrace) ||
        request.bridge[kBridgeNameMaxLength] != u'\0' ||
        request.traceFile[kViewerTextCapacity - 1] != u'\0') {
        return false;
    }
    const std::wstring bridge = FromWire(request.bridge, kBridgeNameMaxLength + 1);
    return bridge.empty() || IsValidBridgeName(bridge);
}

bool ParseViewerReply(const void* bytes, std::size_t size, ViewerReply& reply,
                      std::wstring& messages) {
    if (bytes == nullptr || size < sizeof reply) {
        return false;
    }
    std::memcpy(&reply, bytes, sizeof reply);
    if (reply.magic != kViewerMagic || reply.version != kViewerVersion ||
        reply.messagesLength > kViewerMessagesMax ||
        size != sizeof reply + reply.messagesLength * sizeof(char16_t)) {
        return false;
    }
    for (char16_t* text : {reply.statusLine, reply.serialPort, reply.pipeName}) {
        text[kViewerTextCapacity - 1] = u'\0';
    }
    messages.clear();
    const auto* wire = static_cast<const unsigned char*>(bytes) + sizeof reply;
    for (std::uint32_t i = 0; i < reply.messagesLength; ++i) {
        char16_t c;
        std::memcpy(&c, wire + i * sizeof c, sizeof c);
        messages += static_cast<wchar_t>(c);
    }
    return true;
}

bool IsServiceProcess(std::uint32_t serverProcessId, std::uint32_t serviceProcessId) {
    return serviceProcessId != 0 && serverProcessId == serviceProcessId;
}
