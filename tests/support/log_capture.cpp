#include "log_capture.h"

#include <ace/Log_Record.h>

namespace fake {

LogCapture::LogCapture()
{
    previous_ = ACE_Log_Msg::msg_backend(this);
    previousFlags_ = ACE_LOG_MSG->flags();
    ACE_LOG_MSG->set_flags(ACE_Log_Msg::CUSTOM);
}

LogCapture::~LogCapture()
{
    ACE_LOG_MSG->clr_flags(ACE_Log_Msg::CUSTOM);
    ACE_LOG_MSG->set_flags(previousFlags_);
    ACE_Log_Msg::msg_backend(previous_);
}

ssize_t LogCapture::log(ACE_Log_Record &record)
{
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back({ACE_TEXT_ALWAYS_CHAR(record.msg_data()), record.type()});
    return 0;
}

std::vector<std::string> LogCapture::Messages() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> texts;
    for (const Entry &e : entries_)
        texts.push_back(e.text);
    return texts;
}

size_t LogCapture::Count(const std::string &text) const
{
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const Entry &e : entries_)
        if (e.text.find(text) != std::string::npos)
            ++n;
    return n;
}

size_t LogCapture::ErrorsStartingWith(const std::string &text) const
{
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const Entry &e : entries_)
        if (e.priority == LM_ERROR && e.text.compare(0, text.size(), text) == 0)
            ++n;
    return n;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
}

} // namespace fake
