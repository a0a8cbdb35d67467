#pragma once

#include "reports/idriverlist.h"

// The loaded kernel modules (/proc/modules) as CSV with a header row, every field
// quoted.
class KernelModuleList : public IDriverList
{
public:
    explicit KernelModuleList(const QString& path = QStringLiteral("/proc/modules"));

    bool query(QByteArray& csv, QString& error) override;

    // The CSV of the lines of a modules file.
    static QByteArray csvFromModules(const QByteArray& modules);

private:
    QString m_path;
};
