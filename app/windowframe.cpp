#include "app/windowframe.h"

#include "app/logging.h"

WindowFrame::WindowFrame(QQuickItem* parent)
    : QQuickItem(parent)
    , m_model(new WindowMenuModel(this))
{ }

WindowFrame::~WindowFrame() = default;

QAbstractItemModel* WindowFrame::menuModel() const
{
    return m_model;
}

WindowMenuNode* WindowFrame::top() const
{
    return m_stack.empty() ? nullptr : m_stack.back().get();
}

void WindowFrame::startMenu()
{
    m_stack.clear();
    m_building.clear();
    auto bar = std::make_unique<WindowMenuNode>();
    bar->kind = WindowMenuNode::Menu;
    m_stack.push_back(std::move(bar));
}

void WindowFrame::pushItem()
{
    if (m_stack.empty()) {
        qCWarning(lcApp) << "Window menu: a menu opened before the bar was started";
        return;
    }
    auto menu = std::make_unique<WindowMenuNode>();
    menu->kind = WindowMenuNode::Menu;
    m_stack.push_back(std::move(menu));
}

void WindowFrame::addItem(QObject* target, const QString& title, const QString& shortcut, bool enabled)
{
    WindowMenuNode* menu = top();
    if (!menu) {
        qCWarning(lcApp) << "Window menu: item" << title << "added before the bar was started";
        return;
    }
    auto item = std::make_unique<WindowMenuNode>();
    item->title = title;
    item->shortcut = shortcut;
    item->enabled = enabled;
    item->parent = menu;
    m_building.push_back({ target, item.get() });
    item->commandId = int(m_building.size());
    menu->children.push_back(std::move(item));
}

void WindowFrame::addSeparator()
{
    WindowMenuNode* menu = top();
    if (!menu)
        return;
    auto separator = std::make_unique<WindowMenuNode>();
    separator->kind = WindowMenuNode::Separator;
    separator->parent = menu;
    menu->children.push_back(std::move(separator));
}

void WindowFrame::popItem(const QString& title)
{
    if (m_stack.size() < 2) {
        qCWarning(lcApp) << "Window menu: no open menu for" << title;
        return;
    }
    std::unique_ptr<WindowMenuNode> menu = std::move(m_stack.back());
    m_stack.pop_back();
    menu->title = title;
    menu->parent = m_stack.back().get();
    m_stack.back()->children.push_back(std::move(menu));
}

void WindowFrame::closeMenu()
{
    if (m_stack.empty()) {
        qCWarning(lcApp) << "Window menu: closed before it was started";
        return;
    }
    // Menus left open still belong to the bar, without a title.
    while (m_stack.size() > 1) {
        qCWarning(lcApp) << "Window menu: a menu was left open";
        popItem(QString());
    }
    std::unique_ptr<WindowMenuNode> bar = std::move(m_stack.back());
    m_stack.clear();
    // The table goes with the bar it was built for, so ids keep naming the items shown.
    m_table = std::move(m_building);
    m_building.clear();
    m_model->setBar(std::move(bar));
    emit menuAttached();
}

void WindowFrame::setEnabled(QObject* target, bool enabled)
{
    if (!target)
        return;
    for (const Entry& entry : m_table) {
        if (entry.target == target)
            m_model->setNodeEnabled(entry.node, enabled);
    }
}

bool WindowFrame::triggerCommand(int id)
{
    if (id <= 0 || id > int(m_table.size()))
        return false;
    const Entry& entry = m_table[size_t(id - 1)];
    if (!entry.target) {
        qCWarning(lcApp) << "Window menu: the object of item" << entry.node->title << "is gone";
        return false;
    }
    // A greyed item does nothing, whoever asks.
    if (!entry.node->enabled)
        return false;
    return QMetaObject::invokeMethod(entry.target, "triggered", Qt::AutoConnection);
}
