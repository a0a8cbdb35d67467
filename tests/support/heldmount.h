#pragma once

#include <QString>

#include <memory>

namespace ostra::test {

// A mount that answers, or hangs, at the test's word: a user-space file system that mirrors
// a real folder at a mount point, whose every request (a stat, a path lookup, a listing, an
// open, a rename, a watch added on a path) waits while its gate is closed. This is a dead
// network mount or a sleeping disk as the code under test meets it, down to the calls that
// only resolve a path, which a fanotify mark cannot hold. Needs root and a private mount
// namespace (OSTRA_RUN_IN_MOUNT_NAMESPACE); isValid() is false where it cannot be made.
// Entries and attributes are never cached, so each call reaches the gate.
class HeldMount
{
public:
    HeldMount(const QString& backing, const QString& mountPoint);
    ~HeldMount();
    HeldMount(const HeldMount&) = delete;
    HeldMount& operator=(const HeldMount&) = delete;

    bool isValid() const;
    // Requests waiting at the closed gate.
    int held() const;
    // Requests answered so far.
    int passed() const;
    void close();
    // Answers the held requests, in the order they came, and every later one.
    void open();

private:
    struct Server;
    std::unique_ptr<Server> m_server;
};

} // namespace ostra::test
