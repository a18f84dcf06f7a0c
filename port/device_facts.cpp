// The parts of the device facts and of the open-failure explanations that are the
// same on every platform: words for the reasons, the group advice, what a Windows
// device's ids tell, an adapter's latency timer in words.
#include "port/device_facts.h"

#include <cctype>

#include "port/port.h"

namespace {

// The four hex digits after `key` ("VID_") where `key` starts a part of `id`
// (after a backslash, '&' or '+'), lower case; "" when there is none.
std::string HexAfter(const std::string& id, const char* key) {
    const std::string wanted = key;
    for (size_t at = 0; (at = id.find(wanted, at)) != std::string::npos; at += wanted.size()) {
        if (at > 0 && id[at - 1] != '\\' && id[at - 1] != '&' && id[at - 1] != '+') continue;
        std::string digits = id.substr(at + wanted.size(), 4);
        if (digits.size() != 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;
        size_t after = at + wanted.size() + 4;
        if (after < id.size() && id[after] != '&' && id[after] != '+' && id[after] != '\\') continue;
        for (char& c : digits) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return digits;
    }
    return "";
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

const char* OpenFailureWords(int reason) {
    switch (reason) {
        case OPEN_ERROR_NO_DEVICE: return "no such device";
        case OPEN_ERROR_PERMISSION: return "permission denied";
        case OPEN_ERROR_BUSY: return "busy (held by another program)";
        case OPEN_ERROR_NOT_SERIAL: return "not a serial device";
        case OPEN_ERROR_NET_NO_HOST: return "no such host";
        case OPEN_ERROR_NET_REFUSED: return "connection refused";
        case OPEN_ERROR_NET_TIMED_OUT: return "timed out";
        case OPEN_ERROR_NET_UNREACHABLE: return "host unreachable";
        case OPEN_ERROR_NET_NOT_RFC2217: return "not an RFC 2217 server";
        case OPEN_ERROR_NET_CLOSED: return "the server hung up";
        case OPEN_ERROR_TLS_UNTRUSTED: return "certificate from an unknown authority";
        case OPEN_ERROR_TLS_WRONG_NAME: return "certificate for another name";
        case OPEN_ERROR_TLS_EXPIRED: return "certificate expired or not yet valid";
        case OPEN_ERROR_TLS_NOT_TLS: return "does not answer TLS";
        case OPEN_ERROR_TLS_REFUSED_US: return "the server refused our certificate";
        case OPEN_ERROR_TLS_FAILED: return "TLS handshake failed";
        case OPEN_ERROR_TLS_FILES: return "TLS files unusable";
        case OPEN_ERROR_NET_TLS_SERVER: return "a TLS server";
        default: return "could not be opened";
    }
}

bool IsNetworkOpenError(int reason) { return reason >= OPEN_ERROR_NET_NO_HOST && reason <= OPEN_ERROR_NET_TLS_SERVER; }

std::string ExplainNetworkOpenFailure(int reason, const std::string& note) {
    const std::string head = OpenFailureWords(reason);
    switch (reason) {
        case OPEN_ERROR_NET_NO_HOST:
            return head + ": the name does not resolve.\nCheck its spelling, or give the server's IP address.";
        case OPEN_ERROR_NET_REFUSED:
            return head + ": nothing listens on that TCP port.\nIs the device server on, and is this its port?";
        case OPEN_ERROR_NET_TIMED_OUT:
            return head + ": no answer within 3 s.\nCheck the address, the network and any firewall on the way.";
        case OPEN_ERROR_NET_UNREACHABLE: return head + ": this machine has no route to it.";
        case OPEN_ERROR_NET_NOT_RFC2217:
            return head + ": it answered, but not with serial port control (COM-PORT-OPTION).\n"
                          "For a server that passes the bytes as they are, give socket://HOST:PORT; else set its "
                          "port to RFC 2217 (telnet).";
        case OPEN_ERROR_NET_CLOSED:
            return head + (note.empty() ? std::string(" while the port was opening") : " (it said: " + note + ")") +
                   ".\nIts serial device may be missing, or in use by another connection.";
        // TLS: the device knows the particulars (names, dates, the files); nothing was sent.
        case OPEN_ERROR_TLS_UNTRUSTED:
            return note + ".\nGive the site's CA certificate with ca=FILE (for a self-signed server, its own certificate).";
        case OPEN_ERROR_TLS_WRONG_NAME:
        case OPEN_ERROR_TLS_NOT_TLS:
        case OPEN_ERROR_NET_TLS_SERVER:
        case OPEN_ERROR_TLS_FAILED:
        case OPEN_ERROR_TLS_FILES:
        case OPEN_ERROR_TLS_REFUSED_US: return note.empty() ? head + "." : note;
        case OPEN_ERROR_TLS_EXPIRED:
            return note + ".\nThe server needs a new certificate (or this machine's clock is wrong).";
        default: return head + ".";
    }
}

namespace {

// "rw-rw----" from the permission bits.
std::string ModeString(unsigned mode) {
    std::string text;
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += (mode >> shift) & 4 ? 'r' : '-';
        text += (mode >> shift) & 2 ? 'w' : '-';
        text += (mode >> shift) & 1 ? 'x' : '-';
    }
    return text;
}

}  // namespace

std::string PermissionAdvice(const PermissionFacts& facts) {
    const bool groupMayOpen = (facts.mode & 060) == 060;
    if (!groupMayOpen || facts.groupIsRoot) {
        return "only its owner " + facts.owner + " may open it (" + ModeString(facts.mode) +
               "); an administrator can give it to group dialout with a udev rule";
    }
    if (facts.sessionHasGroup) {
        return "group " + facts.group + " may open it and this program runs with that group, "
               "so something other than the permissions refuses";
    }
    if (facts.userListsGroup) {
        return "you are in group " + facts.group + ", but this login began before you were added: "
               "log in again (or run `newgrp " + facts.group + "`)";
    }
    return "it belongs to group " + facts.group + ", which you are not in: run `sudo usermod -aG " +
           facts.group + " $USER`, then log in again";
}

std::string UsbIdFromHardwareId(const std::string& hardwareId) {
    const std::string id = Upper(hardwareId);
    std::string vendor = HexAfter(id, "VID_");
    std::string product = HexAfter(id, "PID_");
    return vendor.empty() || product.empty() ? "" : vendor + ":" + product;
}

std::string SerialFromInstanceId(const std::string& instanceId) {
    size_t first = instanceId.find('\\');
    size_t last = instanceId.rfind('\\');
    if (first == std::string::npos || first == last) return "";
    if (Upper(instanceId.substr(0, first)) != "USB") return "";
    std::string serial = instanceId.substr(last + 1);
    if (serial.empty() || serial.find('&') != std::string::npos) return "";
    return serial;
}

std::string UsbSerial(const std::string& instanceId, const std::string& parentId) {
    std::string serial = SerialFromInstanceId(instanceId);
    if (!serial.empty()) return serial;
    std::string usbId = UsbIdFromHardwareId(instanceId);
    return !usbId.empty() && UsbIdFromHardwareId(parentId) == usbId ? SerialFromInstanceId(parentId) : "";
}

std::string ShownPath(const DeviceTree& tree, const std::string& path) {
    if (!tree.home.empty() && StartsWith(path, tree.home + "/")) return "~" + path.substr(tree.home.size());
    return path;
}

std::string LatencyTimerWarning(const std::string& role, int ms, const std::string& file) {
    if (ms <= LATENCY_TIMER_WARN_MS) return "";
    return "the " + role + " line's adapter holds what it receives up to " + std::to_string(ms) +
           " ms before passing it on (its latency timer), so times seen here may be late by as much; lower it "
           "with: echo 1 | sudo tee " + file;
}
