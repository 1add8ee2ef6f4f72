#pragma once
// TRunRows: one row per running item of a run, for the download window's list. It is fed only
// by the pool's events (it is a TPoolEvents the window hands every event on to) and holds no
// widget, so what it shows is checked without a display. A row appears when its item starts
// and leaves when the item ends (its outcome is counted in the run's model).
//
// Columns: the item's name (the page's title once known, its address before), its stage, its
// progress (the percentage as text, the number under ProgressRole for the bar's delegate),
// the size received of the total, the speed, and the time left.

#include "engine/RunPool.h"

#include <QAbstractTableModel>

#include <cstdint>
#include <string>
#include <vector>

namespace cw {

class TRunRows : public QAbstractTableModel, public TPoolEvents {
public:
    enum TColumn { rcName, rcStage, rcProgress, rcSize, rcSpeed, rcLeft, rcCount };
    // The progress column's number, 0..100, or -1 while it is not known.
    static constexpr int ProgressRole = Qt::UserRole + 1;

    explicit TRunRows(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The row of an item, -1 when it is not running.
    int RowOf(int item) const;
    // How far the running items are, together, in items (each between 0 and 1).
    double RunningFraction() const;

    // TPoolEvents
    void ItemStarted(int index, const std::string& address) override;
    void StateChanged(int index, TJobState state) override;
    void TitleKnown(int index, const std::string& fileName, const std::string& downloadUrl) override;
    void TransferAttempt(int index, const std::string& name, std::int64_t offset) override;
    void TransferSize(int index, std::int64_t total) override;
    void TransferProgress(int index, std::int64_t bytes, std::int64_t total, const TRateSample* sample) override;
    void Waiting(int index, int secondsLeft, int attempt, int count) override;
    void ConvertStarted(int index, const std::string& outputName) override;
    void ConvertProgress(int index, int percent, const std::string& elapsed, const std::string& estimated) override;
    void ItemEnded(int index, TItemOutcome outcome, const std::string& failureLine) override;
    void RunEnded(TRunEnd how) override;

    // "Page", "Download", "Retry in 4 s", "Converting", "Question".
    static std::string StageText(TJobState state, int retryInSeconds);

private:
    struct TRow {
        int Item = 0;
        std::string Name;
        TJobState State = jsPending;
        int RetryIn = 0;
        int Percent = -1;
        std::int64_t Bytes = 0;
        std::int64_t Total = -1;
        std::string Speed;
        std::string Left;
    };
    TRow* Row(int item);
    void Changed(int item, int first, int last);

    std::vector<TRow> FRows;
    char FDecimalSeparator = '.';
};

} // namespace cw
