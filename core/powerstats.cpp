#include "core/powerstats.h"
#include "core/logging.h"

#include <QDebug>

#include "platform/powerwatcher.h"

PowerStats::PowerStats(QObject* parent)
    : PowerStats(new PowerWatcher, parent)
{ }

PowerStats::PowerStats(PowerWatcher* watcher, QObject* parent)
    : QObject(parent)
    , m_watcher(watcher)
{
    m_watcher->setParent(this);
    connect(m_watcher, &PowerWatcher::changed, this, &PowerStats::onPowerChanged);
    registerForChanges();
    m_plugged = m_watcher->onAcPower();
    emit pluggedChanged();
}

PowerStats::~PowerStats() = default;

void PowerStats::setWindow(QQuickWindow* window)
{
    if (window == m_window)
        return;
    m_window = window;
    registerForChanges();
}

void PowerStats::setAnchor(QQuickItem* anchor)
{
    m_anchor = anchor;
    setWindow(anchor ? anchor->window() : nullptr);
}

void PowerStats::registerForChanges()
{
    if (!m_window)
        return;
    const NotifyState state = m_watcher->mode() == PowerWatcher::Unavailable ? Failed : Ok;
    qCDebug(lcCore) << "Power notifications:" << m_watcher->mode() << "for window" << m_window.data();
    if (state != m_state) {
        m_state = state;
        emit stateChanged();
    }
}

void PowerStats::onPowerChanged(bool onAc)
{
    if (onAc == m_plugged)
        return;
    m_plugged = onAc;
    emit pluggedChanged();
}
