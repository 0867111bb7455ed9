// The bus overview: per-address counts of the window's polls and answers, and their tool window.
#include "app/BusOverview.h"

#include "protocol/UnitEntDeCoder.h"
#include "runtime/Text.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QVBoxLayout>

namespace
{

const QStringList kColumns = {QStringLiteral("Requests"), QStringLiteral("Answers"),
                              QStringLiteral("No answer"), QStringLiteral("Bad checksum"),
                              QStringLiteral("Last delay (ms)")};

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QStringList RowTexts(const TAddressCounts& counts)
{
    QString delay;
    if (counts.LastDelay)
        delay = QString::number(std::chrono::duration<double, std::milli>(*counts.LastDelay).count(), 'f', 1);
    return {QString::number(counts.Requests), QString::number(counts.Answers),
            QString::number(counts.Unanswered), QString::number(counts.BadChecksums), delay};
}

} // namespace

bool TBusCounter::ChecksumRight(std::string_view answer)
{
    answer = Trimmed(answer);
    const size_t end = answer.rfind('<');
    if (end == std::string_view::npos || answer.size() != end + 3)
        return false;
    const int high = HexValue(answer[end + 1]);
    const int low = HexValue(answer[end + 2]);
    if (high < 0 || low < 0)
        return false;
    // The low byte of the sum is all that the two digits carry, so the 16-bit wrap of the
    // framing's accumulator changes nothing.
    unsigned sum = 0;
    for (char c : answer.substr(0, end + 1))
        sum += static_cast<unsigned char>(c);
    return (sum & 0xFF) == static_cast<unsigned>(high * 16 + low);
}

void TBusCounter::Request(char address, TClock::time_point at)
{
    if (FPending && !FPendingAnswered)
        ++FCounts[static_cast<size_t>(*FPending)].Unanswered;
    FPending.reset();
    if (address < '0' || address > '9')
        return;
    const int index = address - '0';
    ++FCounts[static_cast<size_t>(index)].Requests;
    FRequestedAt[static_cast<size_t>(index)] = at;
    FPending = index;
    FPendingAnswered = false;
}

void TBusCounter::Answer(std::string_view message, TClock::time_point at)
{
    message = Trimmed(message);
    if (message.size() < 2 || message[0] != '>' || message[1] < '0' || message[1] > '9')
        return;
    // The echo of one of our requests, even an earlier one than the last, is nobody's answer.
    if (message == FrameMessage(std::string{message[1], 'T'}))
        return;
    const auto index = static_cast<size_t>(message[1] - '0');
    TAddressCounts& counts = FCounts[index];
    ++counts.Answers;
    if (!ChecksumRight(message))
        ++counts.BadChecksums;
    if (FRequestedAt[index])
        counts.LastDelay = at - *FRequestedAt[index];
    if (FPending && static_cast<size_t>(*FPending) == index)
        FPendingAnswered = true;
}

void TBusCounter::Reset() { *this = TBusCounter(); }

QString TBusCounter::Text() const
{
    QString text = QStringLiteral("Address\t") + kColumns.join(u'\t') + u'\n';
    for (int address = 0; address < kAddresses; ++address)
        text += QString::number(address) + u'\t' + RowTexts(Counts(address)).join(u'\t') + u'\n';
    return text;
}

TFormBusOverview::TFormBusOverview(TBusCounter& counter, QWidget* parent)
    : QWidget(parent, Qt::Tool), FCounter(counter)
{
    setObjectName(QStringLiteral("FormBusOverview"));
    setWindowTitle(QStringLiteral("Bus overview"));
    setAttribute(Qt::WA_DeleteOnClose, false);

    GridCounts = new QTableWidget(TBusCounter::kAddresses, static_cast<int>(kColumns.size()), this);
    GridCounts->setObjectName(QStringLiteral("GridCounts"));
    GridCounts->setHorizontalHeaderLabels(kColumns);
    QStringList rows;
    for (int address = 0; address < TBusCounter::kAddresses; ++address)
        rows.append(QString::number(address));
    GridCounts->setVerticalHeaderLabels(rows);
    GridCounts->setEditTriggers(QAbstractItemView::NoEditTriggers);
    GridCounts->setSelectionMode(QAbstractItemView::NoSelection);
    GridCounts->setFocusPolicy(Qt::NoFocus);
    for (int row = 0; row < GridCounts->rowCount(); ++row)
        for (int column = 0; column < GridCounts->columnCount(); ++column) {
            auto* item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            GridCounts->setItem(row, column, item);
        }
    GridCounts->resizeColumnsToContents();
    GridCounts->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    ButtonReset = new QPushButton(QStringLiteral("Reset"), this);
    ButtonReset->setObjectName(QStringLiteral("ButtonReset"));
    ButtonCopy = new QPushButton(QStringLiteral("Copy as text"), this);
    ButtonCopy->setObjectName(QStringLiteral("ButtonCopy"));
    connect(ButtonReset, &QPushButton::clicked, this, [this] {
        FCounter.Reset();
        Refresh();
    });
    connect(ButtonCopy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(FCounter.Text()); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonReset);
    buttons->addWidget(ButtonCopy);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GridCounts);
    layout->addLayout(buttons);

    Refresh();
    // Wide and tall enough for the whole table without scrolling.
    int width = GridCounts->verticalHeader()->width() + 2 * GridCounts->frameWidth();
    for (int column = 0; column < GridCounts->columnCount(); ++column)
        width += GridCounts->columnWidth(column);
    int height = GridCounts->horizontalHeader()->height() + 2 * GridCounts->frameWidth();
    for (int row = 0; row < GridCounts->rowCount(); ++row)
        height += GridCounts->rowHeight(row);
    GridCounts->setMinimumSize(width, height);
    adjustSize();
}

void TFormBusOverview::Refresh()
{
    for (int address = 0; address < TBusCounter::kAddresses; ++address) {
        const QStringList texts = RowTexts(FCounter.Counts(address));
        for (int column = 0; column < texts.size(); ++column)
            GridCounts->item(address, column)->setText(texts[column]);
    }
}
