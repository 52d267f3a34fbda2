#pragma once
// The JSON details window: one event as indented JSON in a read-only text view
// whose font comes from the settings. Created once and reused; closing only
// hides it, and Escape closes it.

#include <QPlainTextEdit>
#include <QWidget>

#include "Settings.h"

namespace qm {

// The text view of the details window; Escape closes its window.
class DetailsView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit DetailsView(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class EventDetailsController : public QWidget {
    Q_OBJECT
public:
    // Takes its font from the settings ("JSONFontName" at the JSON font size).
    explicit EventDetailsController(Settings& settings = standardSettings(), QWidget* parent = nullptr);

    DetailsView* eventJSONField = nullptr;

    // Sets the title, shows and raises the window, and shows the text.
    void showJSON(const QString& title, const QString& json);
};

}  // namespace qm
