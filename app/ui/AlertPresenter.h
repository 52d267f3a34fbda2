#pragma once
// The one way the application shows an alert: a modal box with a message text, an
// informative text, a style, optional buttons and an optional suppression check
// box. Every alert goes through the process's presenter, so tests install one that
// records the texts and answers for the user.

#include <functional>
#include <memory>

#include <QString>
#include <QStringList>

namespace qm {

struct Alert {
    enum class Style { informational, warning };

    Style style = Style::warning;
    QString messageText;
    QString informativeText;
    QStringList buttons;                  // in order; empty: one default button
    bool showsSuppressionButton = false;  // a "Do not show this message again" check box
};

struct AlertResponse {
    int button = 0;          // index into Alert::buttons of the button pressed (0 for the default one)
    bool suppressed = false;  // the suppression check box was ticked when the alert closed
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Shows the alert modally and returns when the user has answered. Main thread only.
    virtual AlertResponse runModal(const Alert& alert) = 0;
};

// Shows alerts as QMessageBox dialogs.
class MessageBoxAlertPresenter final : public AlertPresenter {
public:
    AlertResponse runModal(const Alert& alert) override;
};

// The presenter in force (a MessageBoxAlertPresenter until another is installed).
// Main thread only.
AlertPresenter& alertPresenter();
// Installs a presenter and returns the previous one; null restores the default.
std::shared_ptr<AlertPresenter> setAlertPresenter(std::shared_ptr<AlertPresenter> presenter);

// Runs the alert through the presenter in force, now. Main thread only.
AlertResponse runAlert(const Alert& alert);
// Queues the alert from any thread. Queued alerts are shown on the main queue one
// at a time, in the order they were queued: the next one opens once the one before
// has closed. closed, when given, runs on the main queue right after this alert
// has closed, before the next one opens; the answer is ignored.
void runAlertLater(Alert alert, std::function<void()> closed = {});

}  // namespace qm
