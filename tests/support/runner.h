#pragma once

#include <QThread>

#include <functional>

namespace ostra::test {

// Runs a function on a QThread of its own.
class Runner : public QThread
{
public:
    explicit Runner(std::function<void()> f)
        : m_f(std::move(f))
    { }
    void run() override { m_f(); }

private:
    std::function<void()> m_f;
};

} // namespace ostra::test
