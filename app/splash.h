#pragma once

#include "directory/directoryexchange.h"

#include <QWidget>

class AmbrelFactory;
class AmbrelStrip;
class ButtonLabel;
class QFrame;
class QLabel;
class QLineEdit;
class Session;

/// The start-up window: the product name, a user-name box nobody reads, the
/// scrolling strip and the "Connect" label that starts the program proper.
/// It shows the start and hands over: the copy's life belongs to Session.
class Splash : public QWidget
{
    Q_OBJECT

public:
    Splash(AmbrelFactory &strips, Session &session, QWidget *parent = nullptr);
    ~Splash() override;

    /// Starts registering this copy in the central directory and loading the
    /// peer table; at the end the main window takes over (connectFinished()).
    void MainConnect();

signals:
    /// A status text of the exchange has been put in the title label.
    void statusShown(const QString &text);
    /// The start-up sequence is over: the main window is shown and listens.
    void connectFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void Label4_Click();
    void setStatus(const QString &text);
    void exchange_Step(DirectoryExchange::Step step);
    void session_HandingOver();

    Session &m_session;
    QLabel *m_Label1 = nullptr;
    AmbrelStrip *m_Ambrel1 = nullptr;
    QLineEdit *m_Username = nullptr;
    QFrame *m_Picture1 = nullptr;
    ButtonLabel *m_Label4 = nullptr;
};
