#include "relay_commands.h"

namespace vorbelt {
namespace {

RelayAction send(std::string line, bool forward = false) {
    RelayAction a;
    a.kind = RelayActionKind::SendLine;
    a.text = std::move(line);
    a.forwardReplies = forward;
    return a;
}

RelayAction nothing() {
    return RelayAction{};
}

// Rows that choose one of three lines by an argument of 0, 1 or 2 and ignore other values.
RelayAction choose3(int32_t n, const char* a, const char* b, const char* c) {
    switch (n) {
    case 0:
        return send(a);
    case 1:
        return send(b);
    case 2:
        return send(c);
    default:
        return nothing();
    }
}

RelayAction mediaControl(const std::string& medium, int32_t n) {
    const std::string head = "control " + medium + " ";
    return choose3(n, (head + "play").c_str(), (head + "pause").c_str(), (head + "stop").c_str());
}

// Frame steps of 33 ms, multiplied in 32-bit arithmetic (wrapping like the original integers).
RelayAction frameSeek(const char* medium, int32_t n) {
    const std::string head = std::string("control ") + medium + " seek ";
    const auto ms = static_cast<int32_t>(33u * static_cast<uint32_t>(n));
    if (n == 0)
        return send(head + "0ms");
    if (n > 0)
        return send(head + "+" + decimal(ms) + "ms");
    return send(head + decimal(ms) + "ms");
}

} // namespace

std::string decimal(int32_t value) {
    return std::to_string(value);
}

RelayAction relayCommand(uint32_t code, int32_t n, const std::string& hangVlmPath) {
    switch (code) {
    case 0: {
        RelayAction a;
        a.kind = RelayActionKind::SetCaption;
        a.text = decimal(n);
        return a;
    }
    case 1: {
        RelayAction a;
        a.kind = RelayActionKind::SetHost;
        a.setBindAddress = (n == 0);
        a.text = n == 0 ? std::string(kLocalHost) : kRemoteHostPrefix + decimal(n);
        return a;
    }
    case 2: {
        RelayAction a;
        a.kind = RelayActionKind::SetPort;
        a.number = n;
        return a;
    }
    case 3: {
        RelayAction a;
        a.kind = RelayActionKind::Connect;
        return a;
    }
    case 4:
        return mediaControl("preview", n);
    case 5:
        return send(n == 1 ? "next" : "prev");
    case 6:
        return mediaControl("capture", n);
    case 7:
        return mediaControl("capture0", n);
    case 8:
        return send(n == 1 ? "control capture pause" : "control capture stop");
    case 9:
        return send(n == 1 ? "control capture0 pause" : "control capture0 stop");
    case 10:
        return send("control file" + decimal(n) + " play");
    case 11:
        return send("control file" + decimal(n) + " pause");
    case 12:
        return send("control file" + decimal(n) + " stop");
    case 13:
        return mediaControl("hang", n);
    case 14:
        return mediaControl("hang1", n);
    case 15:
        return send("load " + hangVlmPath);
    case 16: {
        RelayAction a;
        a.kind = RelayActionKind::Playlist;
        return a;
    }
    case 17:
        return choose3(n, "play", "pause", "stop");
    case 18:
        return send("stop");
    case 19:
        return send(n >= 100 ? "rate 1." + decimal(n - 100) : "rate 0." + decimal(n));
    case 20:
        return send("seek " + decimal(n));
    case 21:
        // Milliseconds: the players read "seek <n>ms" as minutes, so the whole seconds go.
        return send("seek " + decimal(n / 1000));
    case 22:
        return send("get_time", true);
    case 23:
        return send("get_length", true);
    case 24:
        return send("frame");
    case 25:
        return nothing();
    case 26:
        return send("shutdown");
    case 27: {
        RelayAction a;
        a.kind = RelayActionKind::Close;
        return a;
    }
    case 28:
        return send("load test.vlm");
    case 29:
        return send("del all");
    case 30:
        return send("setup preview option live-caching=" + decimal(n));
    case 31:
        switch (n) {
        case 0:
            return send("show hang");
        case 1:
            return send("show capture");
        case 2:
            return send("show capture0");
        case 3:
            return send("show file0");
        case 4:
            return send("show file1");
        default:
            return nothing();
        }
    case 32:
        return frameSeek("file0", n);
    case 33:
        return frameSeek("file1", n);
    case 34:
        return frameSeek("hang1", n);
    case 35:
        return send("volume " + decimal(n));
    case 36:
        return send("vtrack " + decimal(n));
    case kShareSeekCode: {
        if (n < 0 || n > 1000000000)
            return nothing();
        std::string fraction = decimal(n % 10000000);
        fraction.insert(0, 7 - fraction.size(), '0');
        return send("seek " + decimal(n / 10000000) + "." + fraction + "%");
    }
    default: {
        RelayAction a;
        a.kind = RelayActionKind::SetCaption;
        a.text = decimal(static_cast<int32_t>(code));
        return a;
    }
    }
}

} // namespace vorbelt
