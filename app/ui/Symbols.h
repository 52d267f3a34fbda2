#pragma once
// The monochrome symbol images of the toolbar and the programs pane, drawn here
// so that they look the same on every desktop, and their tinting: a filter's
// toolbar item shows its state by its colour.

#include <QColor>
#include <QIcon>

class QAction;

namespace qm {

enum class Symbol {
    open,         // a folder
    follow,       // a document with lines and an arrow
    stop,         // a square
    save,         // an arrow into a tray
    trash,        // a waste bin
    clearFilters, // a funnel with a cross
    platform,     // a seal with a check mark
    annotate,     // a flag
    chain,        // two links
    warp,         // a clock
    scroll,       // an arrow down to a line
    search,       // a magnifier
};

// The system's colours of filter state.
inline const QColor systemBlueColor{0x00, 0x7a, 0xff};
inline const QColor systemRedColor{0xff, 0x3b, 0x30};
inline const QColor systemGrayColor{0x8e, 0x8e, 0x93};

// The symbol drawn in one colour.
QIcon symbolIcon(Symbol symbol, const QColor& color);

// Re-renders the action's symbol image in the colour and records the colour as
// the action's "symbolTint" property. Nothing happens to an action without an image.
void setSymbolTint(QAction* item, const QColor& color);

// The colour last set by setSymbolTint; invalid when none was.
QColor symbolTint(const QAction* item);

}  // namespace qm
