#include "EventDetailsController.h"

#include <QKeyEvent>
#include <QVBoxLayout>

#include "PreferencesWindow.h"
#include "WindowPlacement.h"

namespace qm {

DetailsView::DetailsView(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

void DetailsView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        window()->close();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

EventDetailsController::EventDetailsController(Settings& settings, QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("EventDetailsController");
    resize(640, 720);
    eventJSONField = new DetailsView(this);
    eventJSONField->setFont(jsonDetailsFont(settings));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(eventJSONField);
}

void EventDetailsController::showJSON(const QString& title, const QString& json) {
    setWindowTitle(title);
    showWithinScreen(this);
    raise();
    activateWindow();
    eventJSONField->setPlainText(json);
}

}  // namespace qm
