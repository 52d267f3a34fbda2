#include "AlertPresenter.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

#include <deque>
#include <mutex>
#include <utility>

#include "Dispatch.h"

namespace qm {

AlertResponse MessageBoxAlertPresenter::runModal(const Alert& alert) {
    QMessageBox box(alert.style == Alert::Style::warning ? QMessageBox::Warning : QMessageBox::Information,
                    QString(), alert.messageText);
    box.setInformativeText(alert.informativeText);
    std::vector<QAbstractButton*> buttons;
    for (const QString& title : alert.buttons)
        buttons.push_back(box.addButton(title, buttons.empty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    if (buttons.empty()) box.addButton(QMessageBox::Ok);
    QCheckBox* suppression = nullptr;
    if (alert.showsSuppressionButton) {
        suppression = new QCheckBox(QObject::tr("Do not show this message again"));
        box.setCheckBox(suppression);
    }
    box.exec();
    AlertResponse response;
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i]) response.button = int(i);
    response.suppressed = suppression && suppression->isChecked();
    return response;
}

namespace {
std::shared_ptr<AlertPresenter>& presenterSlot() {
    static std::shared_ptr<AlertPresenter> presenter = std::make_shared<MessageBoxAlertPresenter>();
    return presenter;
}
}  // namespace

AlertPresenter& alertPresenter() { return *presenterSlot(); }

std::shared_ptr<AlertPresenter> setAlertPresenter(std::shared_ptr<AlertPresenter> presenter) {
    if (!presenter) presenter = std::make_shared<MessageBoxAlertPresenter>();
    return std::exchange(presenterSlot(), std::move(presenter));
}

AlertResponse runAlert(const Alert& alert) {
    // Keep the presenter alive while it runs, even when it is replaced meanwhile.
    std::shared_ptr<AlertPresenter> presenter = presenterSlot();
    return presenter->runModal(alert);
}

namespace {

// The alerts waiting to be shown; one drain on the main queue shows them in turn.
// A modal alert runs a nested event loop, so alerts queued while it is open wait
// here instead of opening on top of it.
struct AlertQueue {
    std::mutex mutex;
    std::deque<std::pair<Alert, std::function<void()>>> waiting;
    bool draining = false;

    void drain() {
        for (;;) {
            std::pair<Alert, std::function<void()>> next;
            {
                std::lock_guard lock(mutex);
                if (waiting.empty()) {
                    draining = false;
                    return;
                }
                next = std::move(waiting.front());
                waiting.pop_front();
            }
            runAlert(next.first);
            if (next.second) next.second();
        }
    }
};

AlertQueue& alertQueue() {
    static AlertQueue queue;
    return queue;
}

}  // namespace

void runAlertLater(Alert alert, std::function<void()> closed) {
    AlertQueue& queue = alertQueue();
    bool start;
    {
        std::lock_guard lock(queue.mutex);
        queue.waiting.emplace_back(std::move(alert), std::move(closed));
        start = !std::exchange(queue.draining, true);
    }
    if (start) dispatch::DispatchQueue::main().async([&queue] { queue.drain(); });
}

}  // namespace qm
