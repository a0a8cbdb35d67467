#pragma once

#include <QByteArray>
#include <QString>

// The list of the machine's drivers as CSV with a header row. May block; the report
// job runs it on a thread of its own and gives up after a time.
class IDriverList
{
public:
    virtual ~IDriverList() = default;
    // False, with `error` set, when there is no list.
    virtual bool query(QByteArray& csv, QString& error) = 0;
};
