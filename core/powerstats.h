#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>

class PowerWatcher;

// Tells the QML whether the machine runs on mains power, and follows changes.
class PowerStats : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QQuickWindow* window READ window WRITE setWindow)
    Q_PROPERTY(QQuickItem* anchor READ anchor WRITE setAnchor)
    Q_PROPERTY(bool plugged READ plugged NOTIFY pluggedChanged)
    Q_PROPERTY(NotifyState state READ state NOTIFY stateChanged)
public:
    enum NotifyState { Ok = 0, Failed = 1 };
    Q_ENUM(NotifyState)

    explicit PowerStats(QObject* parent = nullptr);
    // Takes ownership of the watcher.
    explicit PowerStats(PowerWatcher* watcher, QObject* parent = nullptr);
    ~PowerStats() override;

    QQuickWindow* window() const { return m_window; }
    void setWindow(QQuickWindow* window);
    QQuickItem* anchor() const { return m_anchor; }
    void setAnchor(QQuickItem* anchor);
    bool plugged() const { return m_plugged; }
    NotifyState state() const { return m_state; }

signals:
    void pluggedChanged();
    void stateChanged();

private:
    void registerForChanges();
    void onPowerChanged(bool onAc);

    PowerWatcher* m_watcher;
    QPointer<QQuickWindow> m_window;
    QPointer<QQuickItem> m_anchor;
    bool m_plugged = true;
    NotifyState m_state = Ok;
};
