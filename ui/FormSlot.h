#pragma once

#include <QDialog>
#include <QPointer>
#include <QWindow>
#include <utility>

// Holds the one instance of a window that is loaded when it opens and unloaded when it
// closes. load() always makes a fresh instance; unload() deletes it, except that a window
// whose modal loop is running is closed first and deleted only after that loop has
// returned, in showModal().
template <typename Form> class FormSlot {
public:
    Form *form() const { return m_form.data(); }
    bool isLoaded() const { return !m_form.isNull(); }

    // Unloads any instance, then creates a new one and runs its load handler.
    template <typename... Args> Form &load(Args &&...args)
    {
        unload();
        m_form = new Form(std::forward<Args>(args)...);
        m_form->Form_Load();
        return *m_form;
    }

    // Loads the window if it is not loaded.
    template <typename... Args> Form &ensureLoaded(Args &&...args)
    {
        if (!m_form)
            load(std::forward<Args>(args)...);
        return *m_form;
    }

    void unload()
    {
        QPointer<Form> form = m_form;
        m_form.clear();
        if (!form)
            return;
        if (form->property(InModalLoop).toBool()) {
            form->done(QDialog::Rejected); // its exec() returns; showModal() deletes it
            return;
        }
        form->hide();
        form->deleteLater(); // it may be unloading itself from one of its own handlers
    }

    // For a window's own close command: unloads it when it is the loaded instance, and
    // otherwise (a window made outside the slot) just closes it.
    void unloadFrom(Form *self)
    {
        if (m_form == self)
            unload();
        else
            self->QDialog::reject();
    }

    void showModeless()
    {
        if (m_form) {
            m_form->show();
            m_form->raise();
        }
    }

    // Shows the window modally and returns once it has been closed or unloaded; the window
    // is unloaded afterwards either way. Given an owner, only the owner takes no input
    // meanwhile: the tray icon, which on an XEmbed tray is a window of this program too,
    // keeps its commands, and so does a window opened from it.
    void showModal(QWidget *owner = nullptr)
    {
        QPointer<Form> form = m_form;
        if (!form)
            return;
        if (owner && owner->windowHandle()) {
            form->setWindowModality(Qt::WindowModal);
            form->winId(); // creates its window handle
            form->windowHandle()->setTransientParent(owner->windowHandle());
        }
        form->setProperty(InModalLoop, true);
        form->exec();
        if (!form)
            return;
        form->setProperty(InModalLoop, false);
        if (m_form == form)
            m_form.clear();
        form->hide();
        form->deleteLater();
    }

private:
    static constexpr const char *InModalLoop = "morvexInModalLoop";
    QPointer<Form> m_form;
};
