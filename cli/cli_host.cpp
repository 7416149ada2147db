#include "cli_host.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace dl::cli {

namespace {

// Asks on the controlling terminal; without one (a script) the answer is no.
bool askYesNo() {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return false;
    std::fputs("Yes or No? [y/N] ", tty);
    std::fflush(tty);
    char line[16] = {};
    bool yes = std::fgets(line, sizeof line, tty) && (line[0] == 'y' || line[0] == 'Y');
    std::fclose(tty);
    return yes;
}

}  // namespace

CliHost::CliHost() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    auto& h = windowHost();
    h = WindowHost{};
    h.postCommand = [this](WindowId w, uint16_t c, intptr_t p) { post({w, c, p}); };
    h.textShown = [this](WindowId, const uint8_t* b, size_t n) { show(b, n); };
    h.setTitle = [](WindowId, const std::string&) {};
    h.chooseFile = [this](FileChoice& choice) {
        std::lock_guard lock(m_);
        if (chosenFile_.empty()) return false;
        choice.path = chosenFile_;
        return true;
    };
    h.messageBox = [this](WindowId, const std::string& text, const std::string& title, MessageIcon,
                          MessageButtons buttons) {
        std::fprintf(stderr, "\r\n[%s] %s\r\n", title.c_str(), text.c_str());
        if (buttons != MessageButtons::yesNo) return MessageAnswer::ok;
        if (assumeYes_) return MessageAnswer::yes;
        return askYesNo() ? MessageAnswer::yes : MessageAnswer::no;
    };
}

void CliHost::setChosenFile(const std::string& path) {
    std::lock_guard lock(m_);
    chosenFile_ = path;
}

CliHost::~CliHost() {
    windowHost() = WindowHost{};
}

void CliHost::setEcho(bool on) {
    std::lock_guard lock(m_);
    echo_ = on;
}

void CliHost::post(const Posted& p) {
    {
        std::lock_guard lock(m_);
        queue_.push_back(p);
    }
    const uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
}

std::optional<Posted> CliHost::nextPosted() {
    uint64_t v;
    (void)!::read(wake_.get(), &v, sizeof v);
    std::lock_guard lock(m_);
    if (queue_.empty()) return std::nullopt;
    Posted p = queue_.front();
    queue_.pop_front();
    if (!queue_.empty()) {
        const uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof one);
    }
    return p;
}

void CliHost::show(const uint8_t* bytes, size_t n) {
    {
        std::lock_guard lock(m_);
        if (!echo_) return;
    }
    // Unbuffered: what the box prints must appear as it arrives.
    size_t done = 0;
    while (done < n) {
        ssize_t k = ::write(STDOUT_FILENO, bytes + done, n - done);
        if (k <= 0) return;
        done += static_cast<size_t>(k);
    }
}

}  // namespace dl::cli
