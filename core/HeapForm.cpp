#include "core/HeapForm.h"

#include <QLabel>
#include <QPushButton>

#include "core/FormControls.h"
#include "platform/HeapStatus.h"

TForm9* Form9 = nullptr;

namespace {

constexpr int DesignWidth = 474;
constexpr const char* CaptionTexts[TForm9::FigureCount] = {
    "TotalAddrSpace:", "TotalCommited:", "TotalUncommited:", "TotalFree:", "TotalAllocated:",
    "Overhead:",       "FreeSmall:",     "FreeBig:",         "Unused:"};

std::array<std::uint64_t, TForm9::FigureCount> Figures(const THeapStatus& s) {
    return {s.TotalAddrSpace, s.TotalCommitted, s.TotalUncommitted, s.TotalFree, s.TotalAllocated,
            s.Overhead,       s.FreeSmall,      s.FreeBig,          s.Unused};
}

} // namespace

TForm9::TForm9(QWidget* owner) : TForm(owner), Timer1(this) {
    setObjectName(QStringLiteral("Form9"));
    SetCaption(QStringLiteral("Куча"));
    setFixedSize(DesignWidth, 120);
    // Three columns of three pairs, the captions as wide as the longest of them needs.
    int captionWidth = 100;
    for (const char* text : CaptionTexts)
        captionWidth = std::max(captionWidth, fontMetrics().horizontalAdvance(QString::fromLatin1(text)) + 4);
    for (int i = 0; i < FigureCount; ++i) {
        const int left = 8 + (i / 3) * (captionWidth + 55), top = 8 + (i % 3) * 22;
        Captions[i] = new QLabel(QString::fromLatin1(CaptionTexts[i]), this);
        Captions[i]->setGeometry(left, top, captionWidth, 20);
        Values[i] = new QLabel(this);
        Values[i]->setObjectName(QStringLiteral("Value%1").arg(i + 1));
        Values[i]->setGeometry(left + captionWidth, top, 50, 20);
        Values[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    Button2 = new QPushButton(QStringLiteral("Сжать"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(304, 86, 75, 25);
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    Button1 = new QPushButton(QStringLiteral("Выход"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(390, 86, 75, 25);
    SetButtonModalResult(Button1, mrCancel);
    FitWidth(this, DesignWidth, 8 + 2 * (captionWidth + 55) + captionWidth + 50 + 6, {Button1, Button2});

    Timer1.SetEnabled(false);
    Timer1.SetOnTimer([this] { Refresh(); });
}

void TForm9::Refresh() {
    const auto figures = Figures(GetHeapStatus());
    for (int i = 0; i < FigureCount; ++i)
        Values[i]->setText(QString::number(figures[i] >> 10));
}

// glibc's trim cannot fail, so there is no error to show.
void TForm9::Button2Click() {
    HeapCompact();
    Refresh();
}

void TForm9::FormShow() {
    Refresh();
    Timer1.SetEnabled(true);
}

void TForm9::FormClose() {
    Timer1.SetEnabled(false);
}
