#pragma once

#include <QAbstractProxyModel>
#include <QItemSelectionModel>
#include <QObject>
#include <QPointer>
#include <QVector>

#include <functional>

class ProgressModel;

// The user's choice of camera pictures for an import, over the rows a proxy shows of a
// capture session: automatic modes that follow new and changed rows, single clicks and
// Shift ranges, and the space estimate (per chosen picture its raw file's bytes and 1).
// The selection itself lives in the session's selection model.
class CaptureSelection : public QObject
{
    Q_OBJECT
public:
    // Answers for a session row whether an automatic mode chooses it.
    using Predicate = std::function<bool(const QModelIndex&)>;

    // The session roles read here.
    enum Role {
        KeyRole = 257, // the item key, which names its space-estimate entry
        TransferringRole = 259, // bool: an import of the picture is under way
        RawIdRole = 268, // the raw file's remote id: empty once the file left the device
        SizeRole = 270, // the raw file's size, the only size counted
    };

    CaptureSelection(QAbstractProxyModel* view, ProgressModel* estimate, QObject* parent = nullptr);

    // The session's selection model; the estimate starts over.
    void setSelectionModel(QItemSelectionModel* selection);
    QItemSelectionModel* selectionModel() const { return m_selection; }
    bool autoselect() const { return m_auto; }

    // Chooses an automatic mode (it depends on `roles`) and applies it to every shown row.
    void choose(Predicate predicate, QVector<int> roles);
    // Leaves the automatic mode.
    void toManual();
    // For a new session: the automatic mode decides every shown row again, or the
    // estimate is made anew from the selected rows (shown or not).
    void reapply();

    // A click on a shown row; with `multi` the range from the anchor to `row` is chosen.
    // Pictures queued for import are never chosen by a click: answers how many were
    // passed over.
    int selectManual(int row, bool checked, bool multi);
    // One shown row (`index` of the view) is chosen or not.
    void selectIndex(const QModelIndex& index, bool checked);
    // The estimate entry of a session row follows `checked` (and counts nothing once the
    // picture's raw file left the device).
    void follow(const QModelIndex& sourceIndex, bool checked);

    // Shown rows that appeared: the automatic mode decides them, else their state counts.
    void rowsShown(int first, int last);
    // Session rows whose roles changed: the automatic mode decides them again when it
    // depends on one of the roles (an empty list may be any role).
    void rowsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles);
    // Session rows about to go leave the estimate.
    void rowsLeaving(int first, int last);

signals:
    void autoselectChanged();

private:
    void setAuto(bool on);
    void apply(int first, int last, bool all);
    bool isSelected(const QModelIndex& sourceIndex) const;
    static bool isQueued(const QModelIndex& sourceIndex);

    QAbstractProxyModel* m_view;
    ProgressModel* m_estimate;
    QPointer<QItemSelectionModel> m_selection;
    Predicate m_predicate;
    QVector<int> m_roles;
    bool m_auto = false;
    int m_anchor = -1;
    int m_rangeEnd = -1;
};
