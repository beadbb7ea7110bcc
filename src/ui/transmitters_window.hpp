#pragma once
// The transmitters window: which transmitters the receiver has heard, the site's list, and the
// walk test. A window of its own beside the main one, whose controls and log stay as they are.

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "capture/transmitters.hpp"

class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QTableView;

namespace nira::ui {

class TransmitterModel : public QAbstractTableModel {
  public:
    enum Column {
        ColId,
        ColSmart,
        ColName,
        ColState,
        ColWalk,
        ColMessages,
        ColRepeats,
        ColFirst,
        ColLast,
        ColSt,
        ColDt,
        ColD1,
        ColXxxx,
        ColCs,
        ColumnCount
    };
    // What the table sorts by: numbers and times as numbers.
    static constexpr int kSortRole = Qt::UserRole;
    // What the filter matches: ID, Smart letters and name.
    static constexpr int kFilterRole = Qt::UserRole + 1;

    TransmitterModel(capture::TransmitterTable& table, QObject* parent);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    // A message or repeat: its row is inserted or changed at the next flush, nothing else. The
    // table is shown as it was at the last flush until then.
    void heard(const capture::TransmitterTable::Heard& heard);
    void flush();
    // The states and the walk column of every row (the clock moved, a test began or ended).
    void timesChanged();
    // The rows were replaced (a list applied).
    void reload();

    std::function<capture::TimePoint()> now = [] { return capture::WallClock::now(); };
    std::function<void()> nameEdited;

  private:
    capture::TransmitterTable& table_;
    int shownRows_;
    std::vector<int> changed_;  // since the last flush: a few rows
    std::optional<int> heardLast_;
    std::optional<int> lastHeard_;  // as shown
};

class TransmittersWindow : public QWidget {
  public:
    explicit TransmittersWindow(capture::TransmitterTable& table, QWidget* owner = nullptr);

    void ShowTransmitters();
    void heard(const capture::TransmitterTable::Heard& heard);
    void testHeard();

    // Opens a list file; failures and its bad lines are told. True when it was applied.
    bool OpenList(const QString& path);
    const QString& ListPath() const { return listPath_; }
    // Called with the path of each list opened or saved.
    std::function<void(const QString&)> listUsed;

    void OpenListClick();
    void SaveListClick();
    void StartWalkClick();
    void StopWalkClick();
    void ExportReportClick();
    void CopySummaryClick();

    TransmitterModel& model() { return *model_; }
    QTableView* view() const { return view_; }
    QSortFilterProxyModel* proxy() const { return proxy_; }
    QLineEdit* filter() const { return filter_; }
    QSpinBox* missingAfter() const { return missingAfter_; }
    QSpinBox* walkLimit() const { return walkLimit_; }
    QString ProgressText() const;
    QString TotalsText() const;

  private:
    void tick();
    void showHeard();
    void showSoon();
    void countMissing();
    void showProgress();
    void followClock();
    void saveListTo(const QString& path);

    capture::TransmitterTable& table_;
    TransmitterModel* model_;
    QSortFilterProxyModel* proxy_;
    QTableView* view_;
    QLineEdit* filter_;
    QSpinBox* missingAfter_;
    QSpinBox* walkLimit_;
    QPushButton* startWalk_;
    QPushButton* stopWalk_;
    QLabel* list_;
    QLabel* progress_;
    QLabel* totals_;
    QTimer clock_;
    QTimer follow_;
    QElapsedTimer lastShown_;
    std::optional<int> followRow_;
    QString listPath_;
    std::size_t missing_ = 0;
    capture::TransmitterList file_;
};

}  // namespace nira::ui
