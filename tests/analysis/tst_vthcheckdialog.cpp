// The threshold monitor dialog on its own: its form, the status countdown,
// the range it brackets the signal with, Auto Set, the range edits, the spin
// box, slider drags, OK and Cancel, and the threshold bar's pixels.
#include "qudpthread.h"
#include "testsupport.h"
#include "ui_vthcheckdialog.h"
#include "vthcheckdialog.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSpacerItem>
#include <QSpinBox>
#include <QTest>
#include <QVBoxLayout>
#include <QtEndian>
#include <functional>

struct VthCheckDialogAccess {
    static Ui_VthCheckDialog *ui(VthCheckDialog &d) { return d.ui; }
    static int countdown(VthCheckDialog &d) { return d.updateCountdown; }
    static int rangeMin(VthCheckDialog &d) { return d.rangeMin; }
    static int rangeMax(VthCheckDialog &d) { return d.rangeMax; }
    static int signalMin(VthCheckDialog &d) { return d.signalMin; }
    static int signalMax(VthCheckDialog &d) { return d.signalMax; }
    static int signalAverage(VthCheckDialog &d) { return d.signalAverage; }
};

namespace {

using A = VthCheckDialogAccess;

// A worker that never runs, its image filled in by hand as a board report
// would leave it.
struct Worker {
    Worker()
    {
        for (int i = 0; i < 48; ++i)
            udp.setRegister(i, 0);
    }
    void monitor(int minimum, int average, int maximum)
    {
        const int values[3] = {minimum, average, maximum};
        for (int i = 0; i < 3; ++i) {
            const quint16 v = quint16(qint16(values[i]));
            udp.setRegister(8 + 2 * i, quint8(v >> 8));
            udp.setRegister(9 + 2 * i, quint8(v & 0xFF));
        }
    }
    QUdpThread udp;
};

void status(VthCheckDialog &d, int times = 1)
{
    for (int i = 0; i < times; ++i)
        QVERIFY(QMetaObject::invokeMethod(&d, "setStatus"));
}

void enter(QWidget *w)
{
    QTest::keyClick(w, Qt::Key_Return);
}

void typeInto(QLineEdit *edit, const QString &text)
{
    edit->setText(text);
    enter(edit);
}

void spinTo(QSpinBox *spin, int value)
{
    spin->setValue(value);
    enter(spin);
}

// Moves the slider as a drag does: sliderMoved only fires while it is down.
void drag(QSlider *slider, int position)
{
    slider->setSliderDown(true);
    slider->setSliderPosition(position);
    slider->setSliderDown(false);
}

// One letter per pixel down the bar's column: M magenta, R red, B blue,
// C cyan, '.' anything else.
char colourAt(const QImage &img, int x, int y)
{
    const QRgb c = img.pixel(x, y) & 0xFFFFFF;
    switch (c) {
    case 0xFF00FF: return 'M';
    case 0xFF0000: return 'R';
    case 0x0000FF: return 'B';
    case 0x00FFFF: return 'C';
    default: return '.';
    }
}

// Counts the dialog's own paint events. A repaint paints at once; an update
// only paints once events are processed, so counting between two flushes
// tells the two apart.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *w) : widget(w) { w->installEventFilter(this); }
    // Paints of the dialog while f runs, with nothing pending before it.
    int during(const std::function<void()> &f)
    {
        QCoreApplication::processEvents();
        count = 0;
        f();
        return count;
    }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (o == widget && e->type() == QEvent::Paint)
            ++count;
        return false;
    }

private:
    QWidget *widget;
    int count = 0;
};

struct Bar {
    int x, yTop, yBottom, height;
    QImage image;
    QString runs;       // the colours from top to bottom, each run once
    QList<int> starts;  // the first row of each run
    int last = -1;      // the last coloured row

    explicit Bar(VthCheckDialog &d)
    {
        const QRect g = A::ui(d)->slider->geometry();
        x = g.right() + 20;
        yTop = g.top() + 13;
        yBottom = g.bottom() + 7;
        height = g.bottom() - g.top() - 5;
        image = d.grab().toImage();
        for (int y = 0; y < image.height(); ++y) {
            const char c = colourAt(image, x, y);
            if (c != '.' && (runs.isEmpty() || runs.back() != QLatin1Char(c))) {
                runs += QLatin1Char(c);
                starts << y;
            }
            if (c != '.')
                last = y;
        }
    }
    // The whole 6-pixel width of the pen carries the colour.
    bool is(int y, char c) const
    {
        for (int dx = -3; dx <= 2; ++dx)
            if (colourAt(image, x + dx, y) != c)
                return false;
        return true;
    }
};

} // namespace

class TestVthCheckDialog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void form()
    {
        Worker wk;
        VthCheckDialog d(&wk.udp, 0);
        Ui_VthCheckDialog *ui = A::ui(d);
        QCOMPARE(d.objectName(), QStringLiteral("VthCheckDialog"));
        QCOMPARE(d.windowTitle(), QStringLiteral("Vth Monitor"));
        QCOMPARE(d.size(), QSize(415, 177));
        QCOMPARE(d.maximumSize(), QSize(415, 202));
        QVERIFY(!(d.windowFlags() & Qt::WindowContextHelpButtonHint));
        QCOMPARE(ui->layoutWidget->geometry(), QRect(11, 10, 392, 157));
        QCOMPARE(ui->layoutWidget->parentWidget(), &d);

        // Layout tree.
        QCOMPARE(ui->layoutWidget->layout(), ui->horizontalLayout_2);
        QCOMPARE(ui->horizontalLayout_2->contentsMargins(), QMargins());
        QCOMPARE(ui->horizontalLayout_2->count(), 4);
        QCOMPARE(ui->horizontalLayout_2->itemAt(0)->layout(), ui->verticalLayout);
        QCOMPARE(ui->horizontalLayout_2->itemAt(1)->widget(), ui->slider);
        QCOMPARE(ui->horizontalLayout_2->itemAt(2)->spacerItem(), ui->horizontalSpacer);
        QCOMPARE(ui->horizontalLayout_2->itemAt(3)->layout(), ui->verticalLayout_2);
        QCOMPARE(ui->horizontalSpacer->sizeHint(), QSize(13, 20));
        QCOMPARE(ui->horizontalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(ui->verticalLayout->count(), 5);
        QCOMPARE(ui->verticalLayout->itemAt(0)->widget(), ui->maxEdit);
        QCOMPARE(ui->verticalLayout->itemAt(1)->spacerItem(), ui->verticalSpacer);
        QCOMPARE(ui->verticalLayout->itemAt(2)->widget(), ui->pushButton);
        QCOMPARE(ui->verticalLayout->itemAt(3)->spacerItem(), ui->verticalSpacer_2);
        QCOMPARE(ui->verticalLayout->itemAt(4)->widget(), ui->minEdit);
        for (QSpacerItem *s : {ui->verticalSpacer, ui->verticalSpacer_2}) {
            QCOMPARE(s->sizeHint(), QSize(20, 40));
            QCOMPARE(s->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        }
        QCOMPARE(ui->verticalLayout_2->count(), 2);
        QCOMPARE(ui->verticalLayout_2->itemAt(0)->widget(), ui->groupBox);
        QCOMPARE(ui->verticalLayout_2->itemAt(1)->layout(), ui->horizontalLayout);
        QCOMPARE(ui->groupBox->title(), QStringLiteral("Signal Monitor"));
        QCOMPARE(ui->groupBox->layout(), ui->gridLayout);
        const QList<QPair<QLabel *, QLineEdit *>> rows = {
            {ui->label, ui->max}, {ui->label_2, ui->avrg}, {ui->label_3, ui->min}};
        const QStringList captions = {"Maximum", "Average", "Minimum"};
        for (int r = 0; r < 3; ++r) {
            QCOMPARE(ui->gridLayout->itemAtPosition(r, 0)->widget(), rows[r].first);
            QCOMPARE(ui->gridLayout->itemAtPosition(r, 1)->widget(), rows[r].second);
            QCOMPARE(rows[r].first->text(), captions[r]);
            QLineEdit *e = rows[r].second;
            QVERIFY(e->isReadOnly());
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                QCOMPARE(e->palette().brush(group, QPalette::Base), QBrush(QColor(240, 240, 240, 255)));
        }
        QCOMPARE(ui->horizontalLayout->count(), 4);
        QCOMPARE(ui->horizontalLayout->itemAt(0)->widget(), ui->label_4);
        QCOMPARE(ui->horizontalLayout->itemAt(1)->widget(), ui->spinBox);
        QCOMPARE(ui->horizontalLayout->itemAt(2)->widget(), ui->ok);
        QCOMPARE(ui->horizontalLayout->itemAt(3)->widget(), ui->cancel);

        // Widgets.
        for (QLineEdit *e : {ui->maxEdit, ui->minEdit}) {
            QCOMPARE(e->maximumWidth(), 45);
            QCOMPARE(e->alignment(), Qt::AlignRight | Qt::AlignVCenter);
            QVERIFY(e->text().isEmpty());
        }
        QCOMPARE(ui->pushButton->text(), QStringLiteral("&Auto\nSet"));
        QCOMPARE(ui->pushButton->maximumWidth(), 45);
        QCOMPARE(ui->slider->orientation(), Qt::Vertical);
        QCOMPARE(ui->slider->minimum(), 0);
        QCOMPARE(ui->slider->maximum(), 99);
        QCOMPARE(ui->slider->value(), 0);
        QCOMPARE(ui->label_4->text(), QStringLiteral("&Vth"));
        QCOMPARE(ui->label_4->buddy(), ui->spinBox);
        QCOMPARE(ui->spinBox->minimumWidth(), 70);
        QCOMPARE(ui->spinBox->minimum(), -32768);
        QCOMPARE(ui->spinBox->maximum(), 32767);
        QCOMPARE(ui->spinBox->value(), 0);
        QCOMPARE(ui->ok->text(), QStringLiteral("&OK"));
        QCOMPARE(ui->cancel->text(), QStringLiteral("&Cancel"));
        for (QPushButton *b : {ui->ok, ui->cancel, ui->pushButton}) {
            QVERIFY(!b->autoDefault());
            QVERIFY(!b->isDefault());
        }

        // Tab order.
        const QList<QWidget *> order = {ui->spinBox, ui->ok, ui->cancel, ui->slider, ui->pushButton,
                                        ui->maxEdit, ui->minEdit, ui->max, ui->avrg, ui->min};
        QList<QWidget *> seen;
        QWidget *w = ui->spinBox;
        do {
            if (order.contains(w) && !seen.contains(w))
                seen << w;
            w = w->nextInFocusChain();
        } while (w != ui->spinBox);
        QCOMPARE(seen, order);
    }

    // Enter in the edits or the spin box closes nothing; OK accepts before
    // the value is sent; Cancel and Escape send nothing.
    void closing()
    {
        Worker wk;
        {
            VthCheckDialog d(&wk.udp, 0);
            Ui_VthCheckDialog *ui = A::ui(d);
            QSignalSpy vth(&d, &VthCheckDialog::setVth);
            d.show();
            QVERIFY(QTest::qWaitForWindowExposed(&d));
            for (QWidget *w : {static_cast<QWidget *>(ui->spinBox), static_cast<QWidget *>(ui->maxEdit),
                               static_cast<QWidget *>(ui->minEdit)})
                enter(w);
            QVERIFY(d.isVisible());
            int resultAtSignal = -1;
            connect(&d, &VthCheckDialog::setVth, this, [&] { resultAtSignal = d.result(); });
            ui->ok->click();
            QVERIFY(!d.isVisible());
            QCOMPARE(resultAtSignal, int(QDialog::Accepted));
            QCOMPARE(vth.count(), 1);
        }
        {
            VthCheckDialog d(&wk.udp, 0);
            QSignalSpy vth(&d, &VthCheckDialog::setVth);
            d.show();
            A::ui(d)->cancel->click();
            QCOMPARE(d.result(), int(QDialog::Rejected));
            QVERIFY(!d.isVisible());
            d.show();
            QTest::keyClick(&d, Qt::Key_Escape);
            QVERIFY(!d.isVisible());
            QCOMPARE(d.result(), int(QDialog::Rejected));
            QCOMPARE(vth.count(), 0);
        }
    }

    // The edits follow every status; the third initialises, the fifth,
    // seventh, ... store and repaint.
    void countdown()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        VthCheckDialog d(&wk.udp, 250);
        Ui_VthCheckDialog *ui = A::ui(d);

        status(d);
        QCOMPARE(A::countdown(d), -2);
        QCOMPARE(ui->min->text(), QStringLiteral("100"));
        QCOMPARE(ui->avrg->text(), QStringLiteral("200"));
        QCOMPARE(ui->max->text(), QStringLiteral("300"));
        wk.monitor(-5, 7, 9);
        status(d);
        QCOMPARE(A::countdown(d), -3);
        QCOMPARE(ui->min->text(), QStringLiteral("-5"));
        QCOMPARE(ui->avrg->text(), QStringLiteral("7"));
        QCOMPARE(ui->max->text(), QStringLiteral("9"));
        QVERIFY(ui->minEdit->text().isEmpty());
        QCOMPARE(ui->slider->maximum(), 99);
        QCOMPARE(A::signalAverage(d), 250);

        wk.monitor(100, 200, 300);
        status(d);
        QCOMPARE(A::countdown(d), 1);
        QCOMPARE(ui->minEdit->text(), QStringLiteral("75"));
        QCOMPARE(ui->maxEdit->text(), QStringLiteral("325"));
        QCOMPARE(ui->slider->minimum(), 75);
        QCOMPARE(ui->slider->maximum(), 325);
        QCOMPARE(ui->slider->value(), 250);
        QCOMPARE(ui->spinBox->value(), 250);
        QCOMPARE(A::signalMin(d), 100);
        QCOMPARE(A::signalMax(d), 300);
        QCOMPARE(A::signalAverage(d), 200);

        // Fourth: shown only. Fifth: stored. Sixth: shown only. Seventh: stored.
        for (int n = 4; n <= 7; ++n) {
            wk.monitor(100 + n, 200 + n, 300 + n);
            status(d);
            QCOMPARE(ui->max->text(), QString::number(300 + n));
            const int stored = n % 2 ? n : n - 1;
            QCOMPARE(A::signalMin(d), n == 4 ? 100 : 100 + stored);
            QCOMPARE(A::signalAverage(d), n == 4 ? 200 : 200 + stored);
            QCOMPARE(A::signalMax(d), n == 4 ? 300 : 300 + stored);
            QCOMPARE(A::countdown(d), n % 2 ? 1 : 0);
        }
        // The range stays as initialised.
        QCOMPARE(ui->slider->minimum(), 75);
        QCOMPARE(ui->slider->maximum(), 325);
        QCOMPARE(ui->maxEdit->text(), QStringLiteral("325"));
    }

    // An image too short for the values: they count as 0 and the edits keep
    // their text; a worker that is gone is never touched.
    void shortImage()
    {
        QUdpThread udp;
        for (int i = 0; i < 12; ++i)
            udp.setRegister(i, i == 8 ? 0xFF : i == 9 ? 0xF6 : 0x00); // minimum -10, average 0
        VthCheckDialog d(&udp, 40);
        Ui_VthCheckDialog *ui = A::ui(d);
        ui->max->setText(QStringLiteral("old"));
        status(d, 3);
        QCOMPARE(ui->min->text(), QStringLiteral("-10"));
        QCOMPARE(ui->avrg->text(), QStringLiteral("0"));
        QCOMPARE(ui->max->text(), QStringLiteral("old"));
        QCOMPARE(A::signalMax(d), 0);
        QCOMPARE(A::rangeMin(d), -11);  // (-90 - 0) / 8
        QCOMPARE(A::rangeMax(d), 40);   // (0 + 10) / 8 = 1, widened to 40

        auto *gone = new QUdpThread;
        VthCheckDialog orphan(gone, 7);
        delete gone;
        A::ui(orphan)->min->setText(QStringLiteral("kept"));
        status(orphan, 3);
        QCOMPARE(A::ui(orphan)->min->text(), QStringLiteral("kept"));
        QCOMPARE(A::ui(orphan)->slider->minimum(), 0);   // from 0, 0, 0 widened to 7
        QCOMPARE(A::ui(orphan)->slider->maximum(), 7);
        QCOMPARE(A::ui(orphan)->spinBox->value(), 7);
    }

    void range_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::newRow("threshold inside") << 100 << 300 << 250 << 75 << 325;
        QTest::newRow("threshold above") << 100 << 300 << 400 << 75 << 400;
        QTest::newRow("threshold below") << 100 << 300 << -20 << -20 << 325;
        QTest::newRow("negative, truncated toward zero") << -101 << 0 << -50 << -113 << 12;
        QTest::newRow("full scale") << -32768 << 32767 << 0 << -40959 << 40958;
    }

    void range()
    {
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(int, threshold);
        QFETCH(int, low);
        QFETCH(int, high);
        Worker wk;
        wk.monitor(minimum, (minimum + maximum) / 2, maximum);
        VthCheckDialog d(&wk.udp, threshold);
        status(d, 3);
        QCOMPARE(A::rangeMin(d), low);
        QCOMPARE(A::rangeMax(d), high);
        QCOMPARE(A::ui(d)->minEdit->text(), QString::number(low));
        QCOMPARE(A::ui(d)->maxEdit->text(), QString::number(high));
        QCOMPARE(A::ui(d)->slider->value(), threshold);
        QCOMPARE(A::ui(d)->spinBox->value(), threshold);
    }

    void autoSet()
    {
        Worker wk;
        wk.monitor(-101, -60, 0);
        VthCheckDialog d(&wk.udp, 500);
        Ui_VthCheckDialog *ui = A::ui(d);

        // Before any status everything sits at the threshold.
        ui->pushButton->click();
        QCOMPARE(ui->slider->minimum(), 500);
        QCOMPARE(ui->slider->maximum(), 500);
        QCOMPARE(ui->spinBox->value(), 500);
        QCOMPARE(ui->minEdit->text(), QStringLiteral("500"));

        status(d, 3);
        QCOMPARE(ui->slider->maximum(), 500); // widened to the threshold
        ui->pushButton->click();
        QCOMPARE(ui->slider->minimum(), -113);
        QCOMPARE(ui->slider->maximum(), 12);
        QCOMPARE(ui->minEdit->text(), QStringLiteral("-113"));
        QCOMPARE(ui->maxEdit->text(), QStringLiteral("12"));
        QCOMPARE(ui->spinBox->value(), -50);
        QCOMPARE(ui->slider->value(), -50);
        QCOMPARE(A::rangeMin(d), -113);
        QCOMPARE(A::rangeMax(d), 12);

        // OK sends the Auto Set threshold.
        QSignalSpy vth(&d, &VthCheckDialog::setVth);
        d.show();
        ui->ok->click();
        QCOMPARE(vth.count(), 1);
        QCOMPARE(vth.at(0).at(0).value<qint16>(), qint16(-50));
    }

    void rangeEdits()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        VthCheckDialog d(&wk.udp, 250);
        Ui_VthCheckDialog *ui = A::ui(d);
        d.show();
        status(d, 3);

        typeInto(ui->maxEdit, QStringLiteral("1000"));
        QCOMPARE(ui->slider->maximum(), 1000);
        QCOMPARE(A::rangeMax(d), 1000);
        QCOMPARE(ui->spinBox->value(), 250);

        typeInto(ui->minEdit, QStringLiteral("600"));
        QCOMPARE(ui->slider->minimum(), 600);
        QCOMPARE(A::rangeMin(d), 600);
        QCOMPARE(ui->slider->value(), 600); // pushed up by the new end
        QCOMPARE(ui->spinBox->value(), 600);

        // Refused: not above the slider's minimum.
        typeInto(ui->maxEdit, QStringLiteral("500"));
        QCOMPARE(ui->slider->maximum(), 1000);
        QCOMPARE(A::rangeMax(d), 1000);
        QCOMPARE(ui->maxEdit->text(), QStringLiteral("500"));
        // Refused: not below the slider's maximum.
        typeInto(ui->minEdit, QStringLiteral("1000"));
        QCOMPARE(ui->slider->minimum(), 600);
        QCOMPARE(ui->minEdit->text(), QStringLiteral("1000"));

        // Not a signed 16-bit number: ignored.
        for (const char *text : {"abc", "40000", "1.5", ""}) {
            typeInto(ui->maxEdit, QLatin1String(text));
            typeInto(ui->minEdit, QLatin1String(text));
            QCOMPARE(ui->slider->maximum(), 1000);
            QCOMPARE(ui->slider->minimum(), 600);
            QCOMPARE(ui->maxEdit->text(), QLatin1String(text));
        }

        typeInto(ui->minEdit, QStringLiteral("-32768"));
        QCOMPARE(ui->slider->minimum(), -32768);
        QCOMPARE(ui->spinBox->value(), 600);
    }

    void spinBox()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        VthCheckDialog d(&wk.udp, 250);
        Ui_VthCheckDialog *ui = A::ui(d);
        d.show();
        status(d, 3);

        spinTo(ui->spinBox, 20);
        QCOMPARE(A::rangeMin(d), 20);
        QCOMPARE(ui->minEdit->text(), QStringLiteral("20"));
        QCOMPARE(ui->slider->minimum(), 20);
        QCOMPARE(ui->slider->value(), 20);

        spinTo(ui->spinBox, 400);
        QCOMPARE(A::rangeMax(d), 400);
        QCOMPARE(ui->maxEdit->text(), QStringLiteral("400"));
        QCOMPARE(ui->slider->maximum(), 400);
        QCOMPARE(ui->slider->value(), 400);

        spinTo(ui->spinBox, 250);
        QCOMPARE(ui->slider->value(), 250);
        QCOMPARE(ui->slider->minimum(), 20);
        QCOMPARE(ui->slider->maximum(), 400);
    }

    // OK carries the slider's position: after a drag, after a programmatic
    // move (which leaves the spin box alone), and before the third status.
    void okCarriesSlider()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        {
            VthCheckDialog d(&wk.udp, 250);
            Ui_VthCheckDialog *ui = A::ui(d);
            QSignalSpy vth(&d, &VthCheckDialog::setVth);
            d.show();
            status(d, 3);
            drag(ui->slider, 300);
            QCOMPARE(ui->spinBox->value(), 300);
            ui->slider->setValue(120);
            QCOMPARE(ui->spinBox->value(), 300);
            ui->ok->click();
            QCOMPARE(vth.count(), 1);
            QCOMPARE(vth.at(0).at(0).value<qint16>(), qint16(120));
            QCOMPARE(ui->spinBox->value(), 120);
        }
        {
            VthCheckDialog d(&wk.udp, 250);
            QSignalSpy vth(&d, &VthCheckDialog::setVth);
            d.show();
            status(d, 2);
            A::ui(d)->ok->click();
            QCOMPARE(vth.count(), 1);
            QCOMPARE(vth.at(0).at(0).value<qint16>(), qint16(0));
        }
        {
            VthCheckDialog d(&wk.udp, 250);
            QSignalSpy vth(&d, &VthCheckDialog::setVth);
            d.show();
            drag(A::ui(d)->slider, 42);
            A::ui(d)->ok->click();
            QCOMPARE(vth.at(0).at(0).value<qint16>(), qint16(42));
        }
    }

    // A locale whose spin box text is no plain decimal number still sends
    // the chosen threshold.
    void okInAnyLocale()
    {
        Worker wk;
        wk.monitor(-3000, -2000, -1000);
        VthCheckDialog d(&wk.udp, -2500);
        d.setLocale(QLocale(QLocale::Swedish, QLocale::Sweden));
        Ui_VthCheckDialog *ui = A::ui(d);
        ui->spinBox->setGroupSeparatorShown(true);
        QSignalSpy vth(&d, &VthCheckDialog::setVth);
        d.show();
        status(d, 3);
        QCOMPARE(ui->slider->value(), -2500);
        bool plain = false;
        ui->spinBox->text().toShort(&plain, 10);
        QVERIFY2(!plain, qPrintable(ui->spinBox->text()));
        ui->ok->click();
        QCOMPARE(vth.count(), 1);
        QCOMPARE(vth.at(0).at(0).value<qint16>(), qint16(-2500));
    }

    // The bar: 100/200/300 with threshold 250 gives R = 250 and segments of
    // 25 (magenta), 100 (red), 100 (blue), then cyan.
    void bar()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        VthCheckDialog d(&wk.udp, 250);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));

        {
            // Before any status: the whole range is below the "signal".
            const Bar b(d);
            QCOMPARE(b.runs, QStringLiteral("C"));
            QVERIFY(b.is((b.yTop + b.yBottom) / 2, 'C'));
        }

        status(d, 3);
        const Bar b(d);
        QVERIFY(b.height > 100);
        QCOMPARE(b.runs, QStringLiteral("MRBC"));
        const int y1 = b.yTop + b.height * 25 / 250;
        const int y2 = y1 + b.height * 100 / 250;
        const int y3 = y2 + b.height * 100 / 250;
        // Each colour starts where its line starts, less the pen's cap.
        const int cap = b.yTop - b.starts.at(0);
        QVERIFY(cap >= 0 && cap <= 3);
        QCOMPARE(b.starts, QList<int>({b.yTop - cap, y1 - cap, y2 - cap, y3 - cap}));
        QCOMPARE(b.last, b.yBottom + cap - 1);
        QVERIFY(b.is((b.yTop + y1) / 2, 'M'));
        QVERIFY(b.is(y1 + 4, 'R'));
        QVERIFY(b.is(y2 - 4, 'R'));
        QVERIFY(b.is(y2 + 4, 'B'));
        QVERIFY(b.is(y3 - 4, 'B'));
        QVERIFY(b.is(y3 + 4, 'C'));
        QVERIFY(b.is(b.yBottom, 'C'));
        // The line ends carry square caps of half the pen's width.
        QCOMPARE(colourAt(b.image, b.x, b.yTop - 4), '.');
        QCOMPARE(colourAt(b.image, b.x, b.yBottom + 4), '.');
        QCOMPARE(colourAt(b.image, b.x - 4, (b.yTop + b.yBottom) / 2), '.');
        QCOMPARE(colourAt(b.image, b.x + 3, (b.yTop + b.yBottom) / 2), '.');
        // The bar is centred 9 px right of the slider's right edge in the dialog.
        const QRect onDialog = A::ui(d)->slider->geometry().translated(A::ui(d)->layoutWidget->pos());
        QCOMPARE(b.x, onDialog.right() + 9);
        QCOMPARE(b.yTop, onDialog.top() + 3);
        QCOMPARE(b.yBottom, onDialog.bottom() - 3);
    }

    void barEdges_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("average");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("minText");
        QTest::addColumn<QString>("maxText");
        QTest::addColumn<QString>("runs");
        QTest::addColumn<int>("low");  // the boundary the first segment ends at
        // Range 75..280 below the maximum 300: red from the top.
        QTest::newRow("maximum above the top") << 100 << 200 << 300 << "" << "280" << "RBC" << 200;
        // Range 150..325 above the minimum 100: blue to the bottom.
        QTest::newRow("minimum below the bottom") << 100 << 200 << 300 << "150" << "" << "MRB" << 300;
        // Range 100..325, minimum at the bottom exactly: blue to the bottom.
        QTest::newRow("minimum at the bottom") << 100 << 200 << 300 << "100" << "" << "MRB" << 300;
        // Average equal to maximum: no red.
        QTest::newRow("average at maximum") << 100 << 300 << 300 << "" << "" << "MBC" << 300;
        // Range 75..300, maximum at the top exactly.
        QTest::newRow("maximum at the top") << 100 << 200 << 300 << "" << "300" << "RBC" << 200;
    }

    void barEdges()
    {
        QFETCH(int, minimum);
        QFETCH(int, average);
        QFETCH(int, maximum);
        QFETCH(QString, minText);
        QFETCH(QString, maxText);
        QFETCH(QString, runs);
        QFETCH(int, low);
        Worker wk;
        wk.monitor(minimum, average, maximum);
        VthCheckDialog d(&wk.udp, 250);
        Ui_VthCheckDialog *ui = A::ui(d);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        status(d, 3);
        if (!maxText.isEmpty())
            typeInto(ui->maxEdit, maxText);
        if (!minText.isEmpty())
            typeInto(ui->minEdit, minText);
        const Bar b(d);
        QCOMPARE(b.runs, runs);
        const int rMin = A::rangeMin(d), rMax = A::rangeMax(d);
        const int first = b.yTop + b.height * (rMax - low) / (rMax - rMin);
        const int cap = b.yTop - b.starts.at(0);
        QCOMPARE(b.starts.at(1), first - cap);
        QCOMPARE(b.last, b.yBottom + cap - 1);
        QVERIFY(b.is((b.yTop + first) / 2, runs.at(0).toLatin1()));
        QVERIFY(b.is(first + 4, runs.at(1).toLatin1()));
        QVERIFY(b.is(b.yBottom, runs.back().toLatin1()));
    }

    // Every store repaints the bar with the new signal.
    void storeRepaints()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        VthCheckDialog d(&wk.udp, 250);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        PaintCounter paints(&d);
        QCOMPARE(paints.during([&] { status(d, 3); }), 1); // the initialisation
        wk.monitor(100, 200, 400); // maximum above the range's top
        QCOMPARE(paints.during([&] { status(d, 1); }), 0);
        QCOMPARE(Bar(d).runs, QStringLiteral("MRBC"));
        QCOMPARE(paints.during([&] { status(d, 1); }), 1);
        QCOMPARE(Bar(d).runs, QStringLiteral("RBC"));
    }

    // The bar is repainted at once by Auto Set, a range edit whose text is a
    // number (taken or refused) and the spin box; not by a drag, nor by an
    // edit that is no number.
    void repaints()
    {
        Worker wk;
        wk.monitor(100, 200, 300);
        VthCheckDialog d(&wk.udp, 250);
        Ui_VthCheckDialog *ui = A::ui(d);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        PaintCounter paints(&d);
        QCOMPARE(paints.during([&] { status(d, 2); }), 0);
        QCOMPARE(paints.during([&] { status(d, 1); }), 1);

        QCOMPARE(paints.during([&] { ui->pushButton->click(); }), 1);
        QCOMPARE(paints.during([&] { typeInto(ui->maxEdit, QStringLiteral("400")); }), 1);
        QCOMPARE(paints.during([&] { typeInto(ui->minEdit, QStringLiteral("50")); }), 1);
        QCOMPARE(paints.during([&] { typeInto(ui->maxEdit, QStringLiteral("10")); }), 1); // refused
        QCOMPARE(paints.during([&] { typeInto(ui->minEdit, QStringLiteral("x")); }), 0);
        QCOMPARE(paints.during([&] { spinTo(ui->spinBox, 120); }), 1);
        QCOMPARE(paints.during([&] { drag(ui->slider, 300); }), 0);
        QCOMPARE(ui->spinBox->value(), 300);
    }
};

QTEST_MAIN(TestVthCheckDialog)
#include "tst_vthcheckdialog.moc"
