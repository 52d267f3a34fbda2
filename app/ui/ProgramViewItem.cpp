#include "ProgramViewItem.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QToolButton>

#include <map>
#include <string_view>

#include "EventFilters.h"
#include "Symbols.h"
#include "ViewController.h"

namespace qm {

namespace {

constexpr int iconSize = 28;
constexpr int itemRadius = 8;

// The last non-empty "/"-separated piece of a path; "" when there is none.
std::string_view lastPiece(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A label that ends a text too long for it with "…" instead of clipping it.
class ElidingLabel final : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect box = contentsRect();
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(box, int(alignment()), fontMetrics().elidedText(text(), Qt::ElideRight, box.width()));
    }
};

}  // namespace

ProgramIconProvider programIconProvider() {
    auto cache = std::make_shared<std::map<std::string, std::shared_ptr<const ProgramIcon>>>();
    return [cache](const std::string& bundlePath) {
        auto& icon = (*cache)[bundlePath];
        if (!icon) {
            QIcon image = QFileIconProvider().icon(QFileInfo(QString::fromStdString(bundlePath)));
            if (image.isNull()) image = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
            icon = std::make_shared<QtProgramIcon>(std::move(image));
        }
        return icon;
    };
}

ProgramViewItem::ProgramViewItem(QWidget* parent) : QFrame(parent) {
    // Opaque: the entry covers whatever the collection draws beneath it.
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    appIcon = new QLabel(this);
    appIcon->setFixedSize(iconSize, iconSize);
    programName = new ElidingLabel(this);
    QFont bold = programName->font();
    bold.setBold(true);
    programName->setFont(bold);
    programSubtitle = new ElidingLabel(this);
    QFont small = programSubtitle->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    programSubtitle->setFont(small);
    // Long names give way to the badge and the buttons.
    for (QLabel* text : {programName, programSubtitle}) text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    programIsApple = new QLabel(this);
    programIsApple->setPixmap(symbolIcon(Symbol::platform, systemRedColor).pixmap(14, 14));
    programIsApple->setToolTip(tr("Not a platform binary"));
    saveButton = new QToolButton(this);
    saveButton->setIcon(symbolIcon(Symbol::save, systemGrayColor));
    saveButton->setToolTip(tr("Save this program's events"));
    saveButton->setAutoRaise(true);
    chainButton = new QToolButton(this);
    chainButton->setIcon(symbolIcon(Symbol::chain, systemGrayColor));
    chainButton->setToolTip(tr("Show the process chain of this program"));
    chainButton->setAutoRaise(true);
    connect(saveButton, &QToolButton::clicked, this, &ProgramViewItem::saveProcessEvents);
    connect(chainButton, &QToolButton::clicked, this, &ProgramViewItem::filterEventsByPIDChain);

    // Name and counts beside the icon; the badge after the counts; the two
    // actions stacked at the right edge.
    for (QToolButton* button : {saveButton, chainButton}) button->setIconSize(QSize(14, 14));
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(6, 3, 2, 3);
    layout->setHorizontalSpacing(4);
    layout->setVerticalSpacing(0);
    layout->addWidget(appIcon, 0, 0, 2, 1, Qt::AlignVCenter);
    layout->addWidget(programName, 0, 1, 1, 2);
    layout->addWidget(programSubtitle, 1, 1);
    layout->addWidget(programIsApple, 1, 2);
    layout->addWidget(saveButton, 0, 3);
    layout->addWidget(chainButton, 1, 3);
    layout->setColumnStretch(1, 1);
}

bool ProgramViewItem::fill(const EventFilters& filters, std::size_t i) {
    if (i >= filters.sortedProgramPaths.size()) return false;
    const auto found = filters.allPrograms.find(filters.sortedProgramPaths[i]);
    if (found == filters.allPrograms.end() || !found->second) return false;
    const ProgramItem& program = *found->second;

    const std::string& path = program.programPath();
    const std::string_view name = lastPiece(path);
    programName->setText(QString::fromUtf8(name.data(), qsizetype(name.size())));
    programName->setToolTip(QString::fromStdString(path));

    const auto [pids, events, platformBinary] = program.read([](const ProgramItem::Contents& c) {
        return std::tuple(c.processPIDs.size(), c.allEvents.size(),
                          !c.allEvents.empty() && c.allEvents.front()->theProcess().is_platform_binary);
    });
    programSubtitle->setText(QStringLiteral("%1-pids / %2-events").arg(pids).arg(events));
    programSubtitle->setToolTip(programSubtitle->text());

    const auto* icon = dynamic_cast<const QtProgramIcon*>(program.icon().get());
    appIcon->setPixmap(icon ? icon->icon.pixmap(iconSize, iconSize) : QPixmap());
    programIsApple->setHidden(platformBinary);
    return true;
}

void ProgramViewItem::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    QPalette colors = palette();
    colors.setColor(QPalette::WindowText, QApplication::palette().color(selected ? QPalette::HighlightedText
                                                                                  : QPalette::WindowText));
    setPalette(colors);
    update();
}

void ProgramViewItem::paintEvent(QPaintEvent* event) {
    if (selected_) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath background;
        background.addRoundedRect(QRectF(rect()), itemRadius, itemRadius);
        painter.fillPath(background, palette().highlight());
    }
    QFrame::paintEvent(event);
}

std::tuple<ProgramEntryHost*, ViewController*, std::shared_ptr<ProgramItem>> ProgramViewItem::findProgram() const {
    auto* host = dynamic_cast<ProgramEntryHost*>(window());
    ViewController* events = host ? host->programEntryEvents() : nullptr;
    const QString path = programName->toolTip();
    if (!events || path.isEmpty()) return {};
    const auto& programs = events->filters.allPrograms;
    const auto found = programs.find(path.toStdString());
    if (found == programs.end() || !found->second) return {};
    return {host, events, found->second};
}

void ProgramViewItem::saveProcessEvents() {
    const auto [host, events, program] = findProgram();
    if (!program) return;
    const auto url = host->askSaveURL();
    // The panel is modal: the window may have let its events view go meanwhile.
    ViewController* view = host->programEntryEvents();
    if (!url || !view) return;
    view->saveEvents(*url, program->read([](const ProgramItem::Contents& c) { return c.allEvents; }));
}

void ProgramViewItem::filterEventsByPIDChain() {
    const auto [host, events, program] = findProgram();
    if (!program) return;
    events->showPIDChain(program->read([](const ProgramItem::Contents& c) {
        return std::vector<std::int64_t>(c.processPIDs.begin(), c.processPIDs.end());
    }));
    host->pidChainDidEnable();
}

}  // namespace qm
