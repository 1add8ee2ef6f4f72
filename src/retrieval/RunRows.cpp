#include "retrieval/RunRows.h"

#include "engine/DownloadText.h"

#include <algorithm>

namespace cw {

TRunRows::TRunRows(QObject* parent) : QAbstractTableModel(parent), FDecimalSeparator(LocaleDecimalSeparator()) {}

int TRunRows::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TRunRows::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rcCount;
}

std::string TRunRows::StageText(TJobState state, int retryInSeconds)
{
    switch (state) {
    case jsTransferring:
        return "Download";
    case jsWaiting:
        return "Retry in " + std::to_string(retryInSeconds) + " s";
    case jsConverting:
    case jsJoining:
        return "Converting";
    case jsAsking:
        return "Question";
    case jsDone:
        return "Done";
    case jsFailed:
        return "Failed";
    case jsSkipped:
        return "Skipped";
    case jsStopped:
        return "Stopped";
    case jsPending:
    case jsPageLoading:
    case jsAnalysing:
        break;
    }
    return "Page";
}

QVariant TRunRows::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const TRow& row = FRows[static_cast<std::size_t>(index.row())];
    if (role == ProgressRole)
        return index.column() == rcProgress ? QVariant(row.Percent) : QVariant();
    if (role == Qt::ToolTipRole && index.column() == rcName)
        return QString::fromStdString(row.Name);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case rcName:
        return QString::fromStdString(row.Name);
    case rcStage:
        return QString::fromStdString(StageText(row.State, row.RetryIn));
    case rcProgress:
        return row.Percent < 0 ? QString() : QString::number(row.Percent) + QLatin1Char('%');
    case rcSize:
        if (row.State == jsConverting || row.State == jsJoining || (row.Bytes == 0 && row.Total < 0))
            return QString();
        return QString::fromStdString(row.Total >= 0 ? KilobytesText(row.Bytes) + " / " + KilobytesText(row.Total)
                                                      : KilobytesText(row.Bytes));
    case rcSpeed:
        return QString::fromStdString(row.Speed);
    case rcLeft:
        return QString::fromStdString(row.Left);
    default:
        return {};
    }
}

QVariant TRunRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const names[] = {"Name", "Stage", "Progress", "Size", "Speed", "Time left"};
    return section >= 0 && section < rcCount ? QString::fromLatin1(names[section]) : QVariant();
}

int TRunRows::RowOf(int item) const
{
    for (std::size_t r = 0; r < FRows.size(); ++r)
        if (FRows[r].Item == item)
            return static_cast<int>(r);
    return -1;
}

double TRunRows::RunningFraction() const
{
    double sum = 0;
    for (const TRow& row : FRows)
        sum += row.Percent > 0 ? row.Percent / 100.0 : 0.0;
    return sum;
}

TRunRows::TRow* TRunRows::Row(int item)
{
    const int r = RowOf(item);
    return r < 0 ? nullptr : &FRows[static_cast<std::size_t>(r)];
}

void TRunRows::Changed(int item, int first, int last)
{
    const int r = RowOf(item);
    if (r >= 0)
        emit dataChanged(index(r, first), index(r, last));
}

void TRunRows::ItemStarted(int item, const std::string& address)
{
    if (RowOf(item) >= 0)
        return;
    // Rows stay in the list's order, whatever order the items start in.
    std::size_t at = 0;
    while (at < FRows.size() && FRows[at].Item < item)
        ++at;
    beginInsertRows(QModelIndex(), static_cast<int>(at), static_cast<int>(at));
    TRow row;
    row.Item = item;
    row.Name = address;
    FRows.insert(FRows.begin() + static_cast<std::ptrdiff_t>(at), row);
    endInsertRows();
}

void TRunRows::StateChanged(int item, TJobState state)
{
    TRow* row = Row(item);
    if (!row || row->State == state)
        return;
    // A new stage starts its own progress: a conversion counts from 0 again.
    if ((state == jsConverting || state == jsJoining) && row->State != jsConverting && row->State != jsJoining) {
        row->Percent = 0;
        row->Speed.clear();
        row->Left.clear();
    }
    row->State = state;
    Changed(item, rcStage, rcLeft);
}

void TRunRows::TitleKnown(int item, const std::string& fileName, const std::string&)
{
    TRow* row = Row(item);
    if (!row || fileName.empty())
        return;
    row->Name = fileName;
    Changed(item, rcName, rcName);
}

void TRunRows::TransferAttempt(int item, const std::string& name, std::int64_t offset)
{
    TRow* row = Row(item);
    if (!row)
        return;
    if (!name.empty())
        row->Name = name;
    row->Bytes = offset;
    Changed(item, rcName, rcLeft);
}

void TRunRows::TransferSize(int item, std::int64_t total)
{
    if (TRow* row = Row(item)) {
        row->Total = total;
        Changed(item, rcProgress, rcSize);
    }
}

void TRunRows::TransferProgress(int item, std::int64_t bytes, std::int64_t total, const TRateSample* sample)
{
    TRow* row = Row(item);
    if (!row)
        return;
    if (total > 0)
        row->Total = total;
    row->Bytes = bytes;
    row->Percent = row->Total > 0 ? static_cast<int>(std::min<std::int64_t>(100, bytes * 100 / row->Total)) : -1;
    if (sample)
        if (auto texts = RateUpdate(row->Total, bytes, bytes - sample->Bytes, sample->ElapsedMs, FDecimalSeparator)) {
            row->Speed = texts->Speed;
            row->Left = row->Total > 0 ? texts->Remaining : std::string();
        }
    Changed(item, rcProgress, rcLeft);
}

void TRunRows::Waiting(int item, int secondsLeft, int, int)
{
    if (TRow* row = Row(item)) {
        row->RetryIn = secondsLeft;
        row->Speed.clear();
        row->Left.clear();
        Changed(item, rcStage, rcLeft);
    }
}

void TRunRows::ConvertStarted(int item, const std::string& outputName)
{
    if (TRow* row = Row(item)) {
        row->Name = outputName;
        row->Percent = 0;
        Changed(item, rcName, rcLeft);
    }
}

void TRunRows::ConvertProgress(int item, int percent, const std::string&, const std::string& estimated)
{
    if (TRow* row = Row(item)) {
        row->Percent = std::clamp(percent, 0, 100);
        row->Left = estimated;
        Changed(item, rcProgress, rcLeft);
    }
}

void TRunRows::ItemEnded(int item, TItemOutcome, const std::string&)
{
    const int r = RowOf(item);
    if (r < 0)
        return;
    beginRemoveRows(QModelIndex(), r, r);
    FRows.erase(FRows.begin() + r);
    endRemoveRows();
}

// Items the run ended inside (an unreadable page, the sign-in answer "stop") leave too.
void TRunRows::RunEnded(TRunEnd)
{
    if (FRows.empty())
        return;
    beginResetModel();
    FRows.clear();
    endResetModel();
}

} // namespace cw
