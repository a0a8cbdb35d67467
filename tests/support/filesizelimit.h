#pragma once

#include <csignal>
#include <sys/resource.h>

namespace ostra::test {

// Limits how large a file this process may write, for the lifetime of the object, and
// makes writing past the limit fail (EFBIG) instead of killing the process: a disk that
// fills up in the middle of a write, without needing one.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = { bytes, m_saved.rlim_max };
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_saved;
    void (*m_handler)(int);
};

} // namespace ostra::test
