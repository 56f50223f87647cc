// The relay's command table: what one command message (code, argument) asks the relay to do.
// Pure rules, no windows and no sockets, so every row can be checked on its own.
#pragma once

#include <cstdint>
#include <string>

namespace vorbelt {

// Window message number of a command message, the same literal in both programs.
constexpr uint32_t kCommandMessage = 0xD000;
// Highest command code of the relay's own set; every larger code (unsigned) only sets the
// caption, but for the station's own additions below.
constexpr uint32_t kLastCommandCode = 36;
// The station's addition: seek to a share of the recording, the argument in billionths of it
// ("seek 16.6195122%" for 166195122): a program stream lands on the picture after that byte,
// which whole seconds cannot name. Like the other seeks, the player answers only its prompt.
constexpr uint32_t kShareSeekCode = 40;

constexpr const char* kTelnetPassword = "qopra";
constexpr const char* kLocalHost = "127.0.0.1";
constexpr const char* kRemoteHostPrefix = "192.168.137.";
// VLM file named in command 15, as the station's Windows installation lays it out.
constexpr const char* kDefaultHangVlmPath = "c:\\utils\\server\\hang_vlm.vlm";

enum class RelayActionKind {
    Nothing,    // no effect beyond ending reply forwarding
    SetCaption, // text: the new window caption (channel label)
    SetHost,    // text: server text and remote host; setBindAddress: bind address too
    SetPort,    // number: the port, written to the port text and read back
    Connect,    // connect and log in
    SendLine,   // text: the line to send when connected
    Playlist,   // hand over the first line of the playlist file
    Close,      // close the relay window
};

struct RelayAction {
    RelayActionKind kind = RelayActionKind::Nothing;
    std::string text;
    int32_t number = 0;
    bool setBindAddress = false;
    // Reply forwarding is switched on after the action, also when nothing was sent.
    bool forwardReplies = false;
};

// Decimal text of a signed number as the standard conversion writes it.
std::string decimal(int32_t value);

// The action for command code `code` with argument `argument`. `hangVlmPath` is the VLM
// file that command 15 asks the video player to load.
RelayAction relayCommand(uint32_t code, int32_t argument,
                         const std::string& hangVlmPath = kDefaultHangVlmPath);

} // namespace vorbelt
