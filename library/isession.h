#pragma once

#include <QJsonDocument>
#include <QUrl>

// The operations that change which folders and files a session holds; shared by the
// session itself and by the history that records and replays them.
class ISession
{
public:
    virtual void reset() = 0;
    virtual void offer(QUrl location, bool recursive) = 0;
    virtual void close(QUrl location, bool recursive) = 0;
    virtual void impose(QUrl location, bool recursive, QJsonDocument condition) = 0;
    virtual ~ISession() = default;
};
