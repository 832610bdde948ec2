// Collects what the library logs through ACE (from every thread) while
// an instance lives.
#ifndef AGENT_TEST_LOG_CAPTURE_H
#define AGENT_TEST_LOG_CAPTURE_H

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>

#include <mutex>
#include <string>
#include <vector>

namespace fake {

class LogCapture : public ACE_Log_Msg_Backend {
public:
    LogCapture();
    ~LogCapture() override;

    int open(const ACE_TCHAR *) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record &record) override;

    std::vector<std::string> Messages() const;
    // How many messages contain `text`.
    size_t Count(const std::string &text) const;
    // How many messages start with `text` and have priority LM_ERROR.
    size_t ErrorsStartingWith(const std::string &text) const;
    void Clear();

private:
    struct Entry {
        std::string text;
        unsigned long priority;
    };
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    ACE_Log_Msg_Backend *previous_ = nullptr;
    unsigned long previousFlags_ = 0;
};

} // namespace fake

#endif
