#pragma once

#include <QSet>
#include <QStringList>

#include "reports/networkbackend.h"

// The route back-end that files a support request for each uploaded report: one JSON
// POST with the user's contact, a subject from the `header` template and the feedback
// text read from the archive. Contacts whose mail host is listed in `ours` (by MD5)
// file nothing.
class ZendeskBackend : public NetworkBackend
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled)
    Q_PROPERTY(QString domain READ domain WRITE setDomain)
    Q_PROPERTY(QString header READ header WRITE setHeader)
    Q_PROPERTY(QString author READ author WRITE setAuthor)
    Q_PROPERTY(QStringList ours READ ours WRITE setOurs)
public:
    explicit ZendeskBackend(QObject* parent = nullptr);

    QVariant key() const override { return QStringLiteral("zendesk"); }
    QVariantList planRoute(EvidenceTrace& state) override;
    bool accept(EvidenceTrace& state, const osm::Step& step) override;
    osm::Job* execute(EvidenceTrace& state, const osm::Step& step) override;

    // The request document for a state (compact JSON); sets `anonymous` when the
    // contact is no e-mail address.
    QByteArray document(EvidenceTrace& state) const;

    bool enabled() const { return m_enabled; }
    QString domain() const { return m_domain; }
    QString header() const { return m_header; }
    QString author() const { return m_author; }
    // The digests, sorted.
    QStringList ours() const;

public slots:
    void setEnabled(bool enabled) { m_enabled = enabled; }
    void setDomain(const QString& domain) { m_domain = domain; }
    void setHeader(const QString& header) { m_header = header; }
    void setAuthor(const QString& author) { m_author = author; }
    void setOurs(const QStringList& ours);
    void onNetworkResponseFinished(QNetworkReply* reply) override;

private:
    bool m_enabled = true;
    QString m_domain;
    QString m_header;
    QString m_author;
    QSet<QString> m_ours;
};
