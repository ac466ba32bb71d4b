#pragma once
// Every message box, confirmation and file dialog of the burner goes through
// this one interface, so that the windows can be driven without a person:
// tests answer Yes/No and file dialogs, and record what would have been shown.
#include <QString>

class QWidget;

namespace norvik {

enum class BoxIcon { Information, Error, Question, Warning };
enum class BoxButtons { Ok, YesNo };
enum class BoxAnswer { Ok, Yes, No };

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;

    // One modal box; returns the button pressed.
    virtual BoxAnswer Show(QWidget *parent, const QString &caption, BoxIcon icon, BoxButtons buttons,
                           const QString &text) = 0;
    // One open-file dialog; an empty text when the user cancels.
    virtual QString OpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                                 const QString &filter) = 0;

    void Information(QWidget *parent, const QString &caption, const QString &text)
    {
        Show(parent, caption, BoxIcon::Information, BoxButtons::Ok, text);
    }
    void Error(QWidget *parent, const QString &caption, const QString &text)
    {
        Show(parent, caption, BoxIcon::Error, BoxButtons::Ok, text);
    }
    // Yes/No confirmation; true for Yes.
    bool Question(QWidget *parent, const QString &caption, BoxIcon icon, const QString &text)
    {
        return Show(parent, caption, icon, BoxButtons::YesNo, text) == BoxAnswer::Yes;
    }
    // The box for a raised error: captioned with the application's title.
    void Critical(QWidget *parent, const QString &title, const QString &text)
    {
        Show(parent, title, BoxIcon::Error, BoxButtons::Ok, text);
    }
};

// The real thing: QMessageBox and QFileDialog.
class QtMessageBoxes : public MessageBoxes {
public:
    BoxAnswer Show(QWidget *parent, const QString &caption, BoxIcon icon, BoxButtons buttons,
                   const QString &text) override;
    QString OpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                         const QString &filter) override;
};

// The process-wide production instance.
MessageBoxes *DefaultMessageBoxes();

} // namespace norvik
