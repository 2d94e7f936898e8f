#include "simlink/control.h"

#include "simlink/sim_dir.h"
#include "simlink/wire.h"

namespace corvid::simlink {

std::string joinWords(const std::vector<std::string>& words) {
    std::string payload;
    for (const auto& word : words) {
        payload += word;
        payload += '\0';
    }
    return payload;
}

std::vector<std::string> splitWords(const std::string& payload) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : payload) {
        if (c == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

ControlReply sendControl(const std::filesystem::path& simDir, const std::vector<std::string>& words,
                         std::chrono::milliseconds timeout) {
    const int fd = connectUnix(controlSocketPath(simDir));
    if (fd < 0) {
        throw NoSimulatorError(noSimulatorText(simDir));
    }
    const Deadline deadline = Deadline::after(timeout);
    const std::string payload = joinWords(words);
    ControlHeader header{kControlMagic, static_cast<std::uint32_t>(payload.size()), 0, {}};
    ControlReply reply;
    bool ok = writeAll(fd, &header, sizeof(header), deadline) == IoResult::Ok &&
              writeAll(fd, payload.data(), payload.size(), deadline) == IoResult::Ok &&
              readAll(fd, &header, sizeof(header), deadline) == IoResult::Ok &&
              header.magic == kControlMagic && header.length <= kMaxControlPayload;
    if (ok) {
        reply.code = static_cast<ControlCode>(header.code);
        reply.text.resize(header.length);
        ok = readAll(fd, reply.text.data(), reply.text.size(), deadline) == IoResult::Ok;
    }
    closeFd(fd);
    if (!ok) {
        throw std::runtime_error("The simulator serving " + simDir.string() +
                                 " did not answer the command \"" +
                                 (words.empty() ? std::string() : words.front()) + "\".");
    }
    return reply;
}

std::string noSimulatorText(const std::filesystem::path& simDir) {
    return "No simulator serves " + simDir.string() +
           " (start one with: corvid-devsim serve --dir " + simDir.string() + " --daemon).";
}

bool simulatorRunning(const std::filesystem::path& simDir) {
    const int fd = connectUnix(controlSocketPath(simDir));
    closeFd(fd);
    return fd >= 0;
}

}  // namespace corvid::simlink
