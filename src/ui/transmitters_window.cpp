#include "ui/transmitters_window.hpp"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>
#include <stdexcept>

#include "ui/application.hpp"
#include "ui/desktop.hpp"
#include "ui/log_file.hpp"

namespace nira::ui {

namespace {

using capture::TimePoint;
using capture::Transmitter;
using capture::TransmitterState;

// How often at most the table follows a burst of messages.
constexpr std::chrono::milliseconds kFollowEvery{500};

// A site's list is a few hundred lines; a file far larger is not one.
constexpr qint64 kLargestList = qint64{16} << 20;

QString text(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

qint64 msSinceEpoch(TimePoint at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

// The table's filter: ID, Smart letters or name containing the text, in any case.
class TransmitterFilter : public QSortFilterProxyModel {
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setWanted(const QString& wanted) {
        wanted_ = wanted.trimmed();
        invalidateFilter();
    }

  protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        return wanted_.isEmpty() ||
               sourceModel()
                   ->data(sourceModel()->index(row, 0, parent), TransmitterModel::kFilterRole)
                   .toString()
                   .contains(wanted_, Qt::CaseInsensitive);
    }

  private:
    QString wanted_;
};

}  // namespace

TransmitterModel::TransmitterModel(capture::TransmitterTable& table, QObject* parent)
    : QAbstractTableModel(parent),
      table_(table),
      shownRows_(static_cast<int>(table.rows().size())) {}

int TransmitterModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int TransmitterModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TransmitterModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const Transmitter& t = table_.rows()[static_cast<std::size_t>(index.row())];
    const TransmitterState state = table_.state(t, now());
    const capture::WalkTest& walk = table_.walk();
    if (role == kFilterRole) {
        return text(capture::idText(t.id) + " " + capture::smartLetters(t.id) + " ") + text(t.name);
    }
    if (role == Qt::FontRole) {
        // The transmitter heard last, and what needs the installer's eye, stand out.
        const bool attention =
            (index.column() == ColState && state != TransmitterState::Heard) ||
            (index.column() == ColWalk && t.walkExpected && t.walkMessages == 0 && walk.started);
        if (attention || lastHeard_ == index.row()) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return {};
    }
    if (role == Qt::ToolTipRole) {
        if ((index.column() == ColFirst || index.column() == ColLast) && t.heard()) {
            return text(
                capture::isoLocalTime(index.column() == ColFirst ? t.firstHeard : t.lastHeard));
        }
        if (index.column() == ColName) {
            return QStringLiteral("Double-click or F2 to name it; a name puts it on the list");
        }
        return {};
    }
    const bool sorting = role == kSortRole;
    if (role != Qt::DisplayRole && role != Qt::EditRole && !sorting &&
        role != Qt::AccessibleTextRole) {
        return {};
    }
    const auto hex = [&](std::size_t i) {
        return t.heard() ? text(receiver::hexByte(t.last[i])) : QString();
    };
    switch (index.column()) {
        case ColId:
            return text(capture::idText(t.id));
        case ColSmart:
            return text(capture::smartLetters(t.id));
        case ColName:
            return text(t.name);
        case ColState: {
            QString shown = capture::stateText(state);
            if (!t.listed) {
                shown += " (not listed)";
            }
            return shown;
        }
        case ColWalk:
            if (!walk.started || (!t.walkExpected && t.walkMessages == 0)) {
                return sorting ? QVariant(qint64{0}) : QVariant(QString());
            }
            if (sorting) {
                // Unheard first, then in the order heard.
                return t.walkMessages == 0 ? qint64{1} : msSinceEpoch(t.walkHeard);
            }
            if (t.walkMessages == 0) {
                return QStringLiteral("not heard");
            }
            return (t.walkExpected ? QStringLiteral("heard ") : QStringLiteral("not expected, ")) +
                   text(capture::clockTime(t.walkHeard)) + QStringLiteral(" ×") +
                   QString::number(t.walkMessages);
        case ColMessages:
            return sorting ? QVariant(qulonglong{t.messages})
                           : QVariant(QString::number(t.messages));
        case ColRepeats:
            return sorting ? QVariant(qulonglong{t.repeats}) : QVariant(QString::number(t.repeats));
        case ColFirst:
        case ColLast: {
            const TimePoint at = index.column() == ColFirst ? t.firstHeard : t.lastHeard;
            if (sorting) {
                return t.heard() ? msSinceEpoch(at) : qint64{0};
            }
            return t.heard() ? text(capture::clockTime(at)) : QString();
        }
        case ColSt:
            return hex(0);
        case ColDt:
            return hex(4);
        case ColD1:
            return hex(5);
        case ColXxxx:
            return hex(6) + hex(7);
        case ColCs:
            return hex(8);
        default:
            return {};
    }
}

QVariant TransmitterModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) {
        return {};
    }
    static const char* const kTitles[ColumnCount] = {
        "ID",          "Smart pins", "Name", "State", "Walk test", "Messages", "Repeats",
        "First heard", "Last heard", "ST",   "DT",    "D1",        "XXXX",     "CS"};
    static const char* const kHints[ColumnCount] = {
        "The three ID bytes, as the log shows them",
        "The twelve Smart pins A0 to D0: H, L, F or D",
        "The site's name for it (F2 to edit)",
        "Heard; not heard (on the list, never heard); missing (not heard for the interval set)",
        "In the walk test: when first heard and how often, or not heard",
        "Messages, repeats not counted",
        "The same frame again within 2 s",
        "",
        "",
        "",
        "",
        "",
        "",
        ""};
    if (section < 0 || section >= ColumnCount) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QString::fromLatin1(kTitles[section]);
    }
    if (role == Qt::ToolTipRole && kHints[section][0] != '\0') {
        return QString::fromUtf8(kHints[section]);
    }
    return {};
}

Qt::ItemFlags TransmitterModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == ColName) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool TransmitterModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != ColName || role != Qt::EditRole) {
        return false;
    }
    const QString name = value.toString().trimmed();
    const auto row = static_cast<std::size_t>(index.row());
    if (text(table_.rows()[row].name) == name) {
        return false;
    }
    table_.setName(row, name.toStdString());
    emit dataChanged(this->index(index.row(), 0), this->index(index.row(), ColumnCount - 1));
    if (nameEdited) {
        nameEdited();
    }
    return true;
}

void TransmitterModel::heard(const capture::TransmitterTable::Heard& heard) {
    const int row = static_cast<int>(heard.row);
    if (row < shownRows_ && std::find(changed_.begin(), changed_.end(), row) == changed_.end()) {
        changed_.push_back(row);
    }
    heardLast_ = row;
}

void TransmitterModel::flush() {
    const auto total = static_cast<int>(table_.rows().size());
    const std::optional<int> before = lastHeard_;
    lastHeard_ = heardLast_;
    if (total > shownRows_) {
        beginInsertRows({}, shownRows_, total - 1);
        shownRows_ = total;
        endInsertRows();
    }
    // A message changes neither the ID nor the name: a table sorted by them is not sorted again.
    for (const int row : changed_) {
        emit dataChanged(index(row, ColState), index(row, ColumnCount - 1));
    }
    changed_.clear();
    if (before != lastHeard_) {
        for (const std::optional<int>& row : {before, lastHeard_}) {
            if (row && *row < shownRows_) {
                emit dataChanged(index(*row, 0), index(*row, ColumnCount - 1), {Qt::FontRole});
            }
        }
    }
}

void TransmitterModel::timesChanged() {
    if (rowCount() > 0) {
        emit dataChanged(index(0, ColState), index(rowCount() - 1, ColWalk));
    }
}

void TransmitterModel::reload() {
    beginResetModel();
    lastHeard_.reset();
    heardLast_.reset();
    changed_.clear();
    shownRows_ = static_cast<int>(table_.rows().size());
    endResetModel();
}

TransmittersWindow::TransmittersWindow(capture::TransmitterTable& table, QWidget* owner)
    : QWidget(owner, Qt::Window), table_(table) {
    setObjectName("TransmittersWindow");
    setWindowTitle("Transmitters — NIRA-7");
    setAccessibleName("Transmitters");
    resize(1040, 560);

    model_ = new TransmitterModel(table_, this);
    auto* filtered = new TransmitterFilter(this);
    proxy_ = filtered;
    proxy_->setSourceModel(model_);
    proxy_->setSortRole(TransmitterModel::kSortRole);
    proxy_->setDynamicSortFilter(true);

    const auto button = [this](const char* name, const QString& caption,
                               void (TransmittersWindow::*handler)()) {
        auto* made = new QPushButton(caption, this);
        made->setObjectName(name);
        connect(made, &QPushButton::clicked, this,
                [this, handler] { guarded([this, handler] { (this->*handler)(); }); });
        return made;
    };
    auto* open = button("OpenList", "&Open list…", &TransmittersWindow::OpenListClick);
    open->setToolTip("Open the site's list of transmitters, a CSV file (Ctrl+O)");
    auto* save = button("SaveList", "&Save list", &TransmittersWindow::SaveListClick);
    save->setToolTip("Save the list with the names given here (Ctrl+S)");
    list_ = new QLabel("No list: every transmitter heard is shown", this);
    list_->setObjectName("ListState");
    list_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    filter_ = new QLineEdit(this);
    filter_->setObjectName("Filter");
    filter_->setPlaceholderText("ID, name or Smart letters");
    filter_->setClearButtonEnabled(true);
    auto* filterLabel = new QLabel("F&ilter:", this);
    filterLabel->setBuddy(filter_);
    connect(filter_, &QLineEdit::textChanged, this,
            [filtered](const QString& wanted) { filtered->setWanted(wanted); });

    missingAfter_ = new QSpinBox(this);
    missingAfter_->setObjectName("MissingAfter");
    missingAfter_->setRange(0, 7 * 24 * 60);
    missingAfter_->setSuffix(" min");
    missingAfter_->setSpecialValueText("off");
    missingAfter_->setToolTip(
        "A transmitter heard but then not for this long is shown as missing (off: never)");
    auto* missingLabel = new QLabel("&Missing after:", this);
    missingLabel->setBuddy(missingAfter_);
    connect(missingAfter_, &QSpinBox::valueChanged, this, [this](int minutes) {
        table_.setMissingAfter(
            minutes > 0 ? std::optional<std::chrono::seconds>(std::chrono::minutes(minutes))
                        : std::nullopt);
        model_->timesChanged();
        countMissing();
        showProgress();
        followClock();
    });

    walkLimit_ = new QSpinBox(this);
    walkLimit_->setObjectName("WalkLimit");
    walkLimit_->setRange(0, 24 * 60);
    walkLimit_->setSuffix(" min");
    walkLimit_->setSpecialValueText("none");
    walkLimit_->setToolTip("The walk test ends by itself after this long (none: when stopped)");
    auto* limitLabel = new QLabel("Time &limit:", this);
    limitLabel->setBuddy(walkLimit_);
    startWalk_ = button("StartWalk", "Start &walk test", &TransmittersWindow::StartWalkClick);
    startWalk_->setToolTip(
        "The listed transmitters (or all in the table) are to be heard anew (F5)");
    stopWalk_ = button("StopWalk", "Sto&p walk test", &TransmittersWindow::StopWalkClick);
    stopWalk_->setEnabled(false);
    auto* report =
        button("ExportReport", "&Export report…", &TransmittersWindow::ExportReportClick);
    report->setToolTip("The walk test's table as CSV and its summary as text beside it (Ctrl+E)");
    auto* copy = button("CopySummary", "&Copy summary", &TransmittersWindow::CopySummaryClick);
    copy->setToolTip("The walk test's summary, to paste into a handover note");

    progress_ = new QLabel(this);
    progress_->setObjectName("WalkProgress");
    QFont large = progress_->font();
    large.setBold(true);
    large.setPointSizeF(large.pointSizeF() * 1.2);
    progress_->setFont(large);
    progress_->setAccessibleName("Walk test progress");

    view_ = new QTableView(this);
    view_->setObjectName("TransmitterTable");
    view_->setAccessibleName("Transmitters heard");
    view_->setModel(proxy_);
    view_->setSortingEnabled(true);
    view_->sortByColumn(TransmitterModel::ColId, Qt::AscendingOrder);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                           QAbstractItemView::AnyKeyPressed);
    view_->setAlternatingRowColors(true);
    view_->setWordWrap(false);
    view_->verticalHeader()->hide();
    // Widths from what the columns can hold, set once: fitting them to the rows would measure
    // every row at every message.
    const QFontMetrics metrics = view_->fontMetrics();
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(metrics.height() + 6);
    const auto width = [&](const char* sample) {
        return metrics.horizontalAdvance(QString::fromUtf8(sample)) + 16;
    };
    QHeaderView* header = view_->horizontalHeader();
    header->setStretchLastSection(false);
    const struct {
        int column;
        const char* sample;
    } kWidths[] = {{TransmitterModel::ColId, "WWWWWW"},
                   {TransmitterModel::ColSmart, "LLLLLLLLLLLLW"},
                   {TransmitterModel::ColName, "Front door, first floorW"},
                   {TransmitterModel::ColState, "not heard (not listed)"},
                   {TransmitterModel::ColWalk, "not expected, 00:00:00 ×000"},
                   {TransmitterModel::ColMessages, "Messages"},
                   {TransmitterModel::ColRepeats, "Repeats"},
                   {TransmitterModel::ColFirst, "First heard"},
                   {TransmitterModel::ColLast, "Last heard"},
                   {TransmitterModel::ColSt, "STW"},
                   {TransmitterModel::ColDt, "DTW"},
                   {TransmitterModel::ColD1, "D1W"},
                   {TransmitterModel::ColXxxx, "XXXX"},
                   {TransmitterModel::ColCs, "CSW"}};
    for (const auto& column : kWidths) {
        header->resizeSection(column.column, width(column.sample));
    }
    view_->setTabKeyNavigation(false);

    totals_ = new QLabel(this);
    totals_->setObjectName("Totals");

    auto* layout = new QVBoxLayout(this);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(open);
    fileRow->addWidget(save);
    fileRow->addWidget(list_, 1);
    layout->addLayout(fileRow);
    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(filter_, 1);
    filterRow->addWidget(missingLabel);
    filterRow->addWidget(missingAfter_);
    layout->addLayout(filterRow);
    auto* walkRow = new QHBoxLayout;
    walkRow->addWidget(limitLabel);
    walkRow->addWidget(walkLimit_);
    walkRow->addWidget(startWalk_);
    walkRow->addWidget(stopWalk_);
    walkRow->addStretch(1);
    walkRow->addWidget(report);
    walkRow->addWidget(copy);
    layout->addLayout(walkRow);
    layout->addWidget(progress_);
    layout->addWidget(view_, 1);
    layout->addWidget(totals_);

    const auto shortcut = [this](const QKeySequence& keys, const std::function<void()>& action) {
        auto* made = new QShortcut(keys, this);
        connect(made, &QShortcut::activated, this, [action] { guarded(action); });
    };
    shortcut(QKeySequence::Open, [this] { OpenListClick(); });
    shortcut(QKeySequence::Save, [this] { SaveListClick(); });
    shortcut(QKeySequence::Find, [this] {
        filter_->setFocus(Qt::ShortcutFocusReason);
        filter_->selectAll();
    });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_E), [this] { ExportReportClick(); });
    shortcut(QKeySequence(Qt::Key_F5), [this] {
        if (table_.walk().running()) {
            StopWalkClick();
        } else {
            StartWalkClick();
        }
    });
    shortcut(QKeySequence(Qt::Key_Escape), [this] { close(); });

    model_->nameEdited = [this] { showProgress(); };
    follow_.setSingleShot(true);
    connect(&follow_, &QTimer::timeout, this, [this] { guarded([this] { showHeard(); }); });
    clock_.setTimerType(Qt::CoarseTimer);
    connect(&clock_, &QTimer::timeout, this, [this] { guarded([this] { tick(); }); });
    showProgress();
}

void TransmittersWindow::ShowTransmitters() {
    show();
    raise();
    activateWindow();
    view_->setFocus(Qt::OtherFocusReason);
}

void TransmittersWindow::heard(const capture::TransmitterTable::Heard& heard) {
    model_->heard(heard);
    followRow_ = static_cast<int>(heard.row);
    showSoon();
}

void TransmittersWindow::testHeard() {
    showSoon();
}

// A message after a quiet spell is shown at once (a walk test's, seconds apart); in a burst
// from many transmitters the view follows and repaints twice a second, not at each message.
void TransmittersWindow::showSoon() {
    if (follow_.isActive()) {
        return;
    }
    if (!lastShown_.isValid() || lastShown_.hasExpired(kFollowEvery.count())) {
        showHeard();
    } else {
        follow_.start(static_cast<int>(kFollowEvery.count() - lastShown_.elapsed()));
    }
}

void TransmittersWindow::showHeard() {
    lastShown_.start();
    model_->flush();
    // Shown without taking the keyboard: the view scrolls to the row heard last, in bold; an
    // edit under way is left alone.
    const QWidget* focused = QApplication::focusWidget();
    const bool editing = focused != nullptr && focused != view_ && view_->isAncestorOf(focused);
    if (followRow_ && *followRow_ < model_->rowCount() && isVisible() && !editing) {
        const QModelIndex shown = proxy_->mapFromSource(model_->index(*followRow_, 0));
        if (shown.isValid()) {
            view_->scrollTo(shown);
        }
    }
    followRow_.reset();
    showProgress();
}

QString TransmittersWindow::ProgressText() const {
    const capture::WalkTest& walk = table_.walk();
    if (!walk.started) {
        return "Walk test: not started";
    }
    QString shown =
        QString::number(walk.heard) + " of " + QString::number(walk.expected) + " heard";
    const auto now = model_->now();
    if (walk.running()) {
        shown = "Walk test: " + shown + " · " +
                text(capture::spanText(
                    std::chrono::duration_cast<std::chrono::seconds>(now - walk.from)));
        if (walk.limit) {
            const auto left =
                *walk.limit - std::chrono::duration_cast<std::chrono::seconds>(now - walk.from);
            shown += ", " + text(capture::spanText(left)) + " left";
        }
        return shown;
    }
    return "Walk test " +
           QString(walk.end == capture::WalkEnd::TimeUp ? "ended at its limit" : "stopped") + ": " +
           shown;
}

QString TransmittersWindow::TotalsText() const {
    QString shown = QString::number(table_.listedHeard()) + " of " +
                    QString::number(table_.listedCount()) + " listed heard, " +
                    QString::number(table_.othersHeard()) + " not listed";
    if (table_.missingAfter()) {
        shown += ", " + QString::number(missing_) + " missing";
    }
    return shown + ", " + QString::number(table_.testMessages()) + " test messages";
}

// Missing is a matter of the clock: counted when the clock ticks, not at each message.
void TransmittersWindow::countMissing() {
    missing_ = 0;
    if (!table_.missingAfter()) {
        return;
    }
    const auto now = model_->now();
    for (const Transmitter& t : table_.rows()) {
        missing_ += table_.state(t, now) == TransmitterState::Missing ? 1 : 0;
    }
}

void TransmittersWindow::showProgress() {
    const QString progress = ProgressText();
    if (progress_->text() != progress) {
        progress_->setText(progress);
        QAccessibleEvent named(progress_, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&named);
    }
    totals_->setText(TotalsText());
    startWalk_->setEnabled(!table_.walk().running());
    stopWalk_->setEnabled(table_.walk().running());
}

// Ticks only while something shown moves with the clock: a walk test running, or the
// missing interval set.
void TransmittersWindow::followClock() {
    const bool walking = table_.walk().running();
    if (walking || table_.missingAfter()) {
        const int interval = walking ? 1000 : 5000;
        if (!clock_.isActive() || clock_.interval() != interval) {
            clock_.start(interval);
        }
    } else {
        clock_.stop();
    }
}

void TransmittersWindow::tick() {
    const bool ended = table_.endWalkIfDue(model_->now());
    model_->timesChanged();
    countMissing();
    showProgress();
    followClock();
    if (ended) {
        QApplication::beep();
        QAccessibleEvent alert(progress_, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}

bool TransmittersWindow::OpenList(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("The transmitter list \"" +
                                 QDir::toNativeSeparators(path).toStdString() +
                                 "\" cannot be opened: " + systemReason(file.errorString()));
    }
    if (file.size() > kLargestList) {
        throw std::runtime_error("\"" + QDir::toNativeSeparators(path).toStdString() +
                                 "\" is too large to be a transmitter list (over 16 MB)");
    }
    const QByteArray bytes = file.readAll();
    std::vector<capture::ListProblem> problems;
    capture::TransmitterList parsed;
    try {
        parsed = capture::TransmitterList::parse(
            std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), problems);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string(e.what()) + " (" +
                                 QDir::toNativeSeparators(path).toStdString() + ")");
    }
    file_ = std::move(parsed);
    listPath_ = path;
    table_.applyList(file_.entries());
    followRow_.reset();
    model_->reload();
    list_->setText("List: " + QDir::toNativeSeparators(path) + " (" +
                   QString::number(file_.entries().size()) + " transmitters)");
    showProgress();
    if (listUsed) {
        listUsed(path);
    }
    if (!problems.empty()) {
        std::string told = "Some lines of the transmitter list " +
                           QFileInfo(path).fileName().toStdString() +
                           " were not used; the others were:";
        std::size_t shown = 0;
        for (const capture::ListProblem& problem : problems) {
            if (++shown > 20) {
                told += "\n… and " + std::to_string(problems.size() - 20) + " more";
                break;
            }
            told += "\nLine " + std::to_string(problem.line) + ": " + problem.text;
        }
        desktop().showException(text(told));
    }
    return true;
}

void TransmittersWindow::OpenListClick() {
    const QString path = desktop().getOpenFileName(this, "Open the transmitter list", listPath_,
                                                   "Transmitter list (CSV)|*.csv");
    if (!path.isEmpty()) {
        OpenList(path);
    }
}

void TransmittersWindow::saveListTo(const QString& path) {
    writeLogFile(path, file_.write(table_.listEntries()));
    std::vector<capture::ListProblem> ignored;
    // The file as saved is the one later saves write back.
    const std::string saved = file_.write(table_.listEntries());
    file_ = capture::TransmitterList::parse(saved, ignored);
    listPath_ = path;
    list_->setText("List: " + QDir::toNativeSeparators(path) + " (" +
                   QString::number(file_.entries().size()) + " transmitters, saved)");
    if (listUsed) {
        listUsed(path);
    }
}

void TransmittersWindow::SaveListClick() {
    QString path = listPath_;
    if (path.isEmpty()) {
        path = desktop().getSaveFileName(this, "Save the transmitter list",
                                         QDir::current().filePath("transmitters.csv"),
                                         "Transmitter list (CSV)|*.csv", "csv");
    }
    if (!path.isEmpty()) {
        saveListTo(path);
    }
}

void TransmittersWindow::StartWalkClick() {
    if (table_.walk().running()) {
        return;
    }
    const int minutes = walkLimit_->value();
    table_.startWalk(model_->now(), minutes > 0 ? std::optional<std::chrono::seconds>(
                                                      std::chrono::minutes(minutes))
                                                : std::nullopt);
    model_->timesChanged();
    // Unheard first: the walk column sorts them to the top.
    view_->sortByColumn(TransmitterModel::ColWalk, Qt::AscendingOrder);
    showProgress();
    followClock();
}

void TransmittersWindow::StopWalkClick() {
    table_.stopWalk(model_->now());
    model_->timesChanged();
    showProgress();
    followClock();
}

void TransmittersWindow::ExportReportClick() {
    const QString suggested = QDir::current().filePath(
        "walk-test-" + QDateTime::currentDateTime().toString("yyyy-MM-dd-HHmm") + ".csv");
    const QString path = desktop().getSaveFileName(this, "Export the walk test's report", suggested,
                                                   "Walk test report (CSV)|*.csv", "csv");
    if (path.isEmpty()) {
        return;
    }
    writeLogFile(path, table_.walkReportCsv());
    const QFileInfo info(path);
    writeLogFile(info.dir().filePath(info.completeBaseName() + ".txt"),
                 table_.walkSummary(model_->now()));
}

void TransmittersWindow::CopySummaryClick() {
    QApplication::clipboard()->setText(text(table_.walkSummary(model_->now())));
}

}  // namespace nira::ui
