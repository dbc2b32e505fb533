// The volume panel driven as an operator drives it, with mouse and keys on
// the real sliders, buttons and boxes, on a real serial device: a
// pseudo-terminal whose master end the test reads byte for byte.
#include "command/commandgrammar.h"
#include "link/portendpoint.h"
#include "tests/window/windowonpty.h"
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>

#include <utility>

class VolumeTest : public QObject, private WindowOnPty
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { stopOnPty(); }
    void levelLabelsShowRealLevels_data();
    void levelLabelsShowRealLevels();
    void keyMovesSendOneFramePerChange_data();
    void keyMovesSendOneFramePerChange();
    void mouseSendsEveryValuePassed_data();
    void mouseSendsEveryValuePassed();
    void buttonSendsExactlyOneFrame_data();
    void buttonSendsExactlyOneFrame();
    void muteAndUnmute_data();
    void muteAndUnmute();
    void actionWithoutChangeLeavesNoTrace();
    void rowsHoldStill_data();
    void rowsHoldStill();
    void othersMoveThePanel_data();
    void othersMoveThePanel();

private:
    template<typename T> T *control(const char *prefix, const QString &channel, const char *suffix = "") const
    {
        T *found = window->findChild<T *>(QLatin1String(prefix) + channel + QLatin1String(suffix));
        if (!found)
            qFatal("no control named %s%s%s", prefix, qPrintable(channel), suffix);
        return found;
    }
    QSlider *slider(const QString &channel) const { return control<QSlider>("horizontalSlider_", channel); }
    QString levelLabel(const QString &channel) const { return control<QLabel>("label_Volume_Value_", channel)->text(); }
    QStringList levelLabels() const;
    QList<QRect> rowGeometry() const;
    void startAt(const QString &channel, int level);
};

Q_DECLARE_METATYPE(Qt::Key)

namespace {

const QStringList channels = {"All", "XLR", "RCA"};

// The channel's code in the last byte of a volume frame.
char channelCode(const QString &channel)
{
    return channel == QLatin1String("All") ? 0 : channel == QLatin1String("RCA") ? 1 : 2;
}

QString levelText(int level)
{
    return level == -64 ? QStringLiteral("Mute") : QString::number(level) + QLatin1String(" dB");
}

// The Absolute Volume frames the operator's moves must have sent: one per
// value the slider took, in order.
QByteArray absoluteFrames(const QSignalSpy &valueChanges, const QString &channel)
{
    QByteArray frames;
    for (const QList<QVariant> &change : valueChanges)
        frames += QByteArray::fromHex("3000") + char(change.first().toInt() + 64) + channelCode(channel);
    return frames;
}

// Where the slider's handle is drawn, so a press there grabs it.
QPoint handleCentre(const QSlider *slider)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    option.singleStep = slider->singleStep();
    option.pageStep = slider->pageStep();
    option.tickPosition = slider->tickPosition();
    option.tickInterval = slider->tickInterval();
    option.upsideDown = slider->invertedAppearance() != (option.direction == Qt::RightToLeft);
    return slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider).center();
}

} // namespace

void VolumeTest::init()
{
    startOnPty();
    // Shown, so the sliders have their real size under the mouse. The
    // offscreen platform says once that it has no window manager to tell.
    QTest::ignoreMessage(QtWarningMsg, "This plugin does not support propagateSizeHints()");
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

QStringList VolumeTest::levelLabels() const
{
    QStringList texts;
    for (const QString &channel : channels)
        texts << levelLabel(channel);
    return texts;
}

// Where every control of the volume rows lies, the level labels included.
QList<QRect> VolumeTest::rowGeometry() const
{
    QList<QRect> places;
    for (const QString &channel : channels) {
        for (const char *prefix : {"pushButton_", "horizontalSlider_", "checkBox_", "spinBox_"}) {
            for (const char *suffix : {"", "_Min", "_Max", "_Plus", "_Less"}) {
                if (const QWidget *found = window->findChild<QWidget *>(prefix + channel + suffix))
                    places << found->geometry();
            }
        }
        places << control<QLabel>("label_Volume_Value_", channel)->geometry();
    }
    return places;
}

// Puts a channel at a level the way the program does, which sends nothing.
void VolumeTest::startAt(const QString &channel, int level)
{
    slider(channel)->setValue(level);
    QCOMPARE(slider(channel)->value(), level);
    expectSent(QByteArray());
}

void VolumeTest::levelLabelsShowRealLevels_data()
{
    QTest::addColumn<QList<int>>("levels");
    // The Languages menu entry to trigger afterwards, if any.
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("labels");

    const QStringList atStart = {"0 dB", "0 dB", "-10 dB"};
    QTest::newRow("at start") << QList<int>() << QString() << atStart;
    QTest::newRow("at start, after a language change") << QList<int>() << "actionEnglish" << atStart;
    QTest::newRow("at start, in French") << QList<int>() << "actionFran_ais" << atStart;
    QTest::newRow("moved") << QList<int>{-63, 0, -64} << QString() << QStringList{"-63 dB", "0 dB", "Mute"};
    QTest::newRow("moved, after a language change")
        << QList<int>{-64, -20, -1} << "actionEnglish" << QStringList{"Mute", "-20 dB", "-1 dB"};
    QTest::newRow("moved, in French") << QList<int>{-64, -20, -1} << "actionFran_ais"
                                      << QStringList{"Sourdine", "-20 dB", "-1 dB"};
}

void VolumeTest::levelLabelsShowRealLevels()
{
    QFETCH(QList<int>, levels);
    QFETCH(QString, language);
    QFETCH(QStringList, labels);

    open();
    for (int i = 0; i < levels.size(); ++i)
        startAt(channels.at(i), levels.at(i));
    if (!language.isEmpty())
        window->findChild<QAction *>(language)->trigger();
    QCOMPARE(levelLabels(), labels);
    // Showing the levels is not a command.
    expectSent(QByteArray());
}

// Whatever a level label says, in either language, nothing in the rows moves
// under the operator's mouse.
void VolumeTest::rowsHoldStill_data()
{
    QTest::addColumn<QString>("language");  // the Languages menu entry
    QTest::addColumn<QList<int>>("levels"); // taken by every channel in turn

    const QList<int> levels = {0, -1, -9, -10, -20, -63, -64, -8, 0};
    QTest::newRow("English") << "actionEnglish" << levels;
    QTest::newRow("French") << "actionFran_ais" << levels;
}

void VolumeTest::rowsHoldStill()
{
    QFETCH(QString, language);
    QFETCH(QList<int>, levels);
    window->findChild<QAction *>(language)->trigger();
    // The new texts resize the window, which the platform answers in turn:
    // the rows are where they settle.
    QList<QRect> before;
    QTRY_VERIFY([&] {
        const QList<QRect> now = rowGeometry();
        return std::exchange(before, now) == now;
    }());
    for (const QString &channel : channels) {
        for (const int level : levels) {
            slider(channel)->setValue(level);
            QCoreApplication::sendPostedEvents();
            QVERIFY2(rowGeometry() == before,
                     qPrintable(QStringLiteral("%1 at '%2'").arg(channel, levelLabel(channel))));
        }
    }
}

void VolumeTest::keyMovesSendOneFramePerChange_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("start");
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("frame");

    const auto row = [](const char *name, const char *channel, int start, Qt::Key key, int level, const char *hex) {
        QTest::newRow(name) << QString::fromLatin1(channel) << start << key << level << QByteArray::fromHex(hex);
    };
    // Page Up moves ALL by 1 dB, XLR and RCA by 8 dB.
    row("ALL page up", "All", -10, Qt::Key_PageUp, -9, "30003700");
    row("XLR page up", "XLR", -20, Qt::Key_PageUp, -12, "30003402");
    row("RCA page up", "RCA", -10, Qt::Key_PageUp, -2, "30003e01");
    row("RCA page down", "RCA", -10, Qt::Key_PageDown, -18, "30002e01");
    row("XLR page up stops at the top", "XLR", -4, Qt::Key_PageUp, 0, "30004002");
    row("ALL left", "All", 0, Qt::Key_Left, -1, "30003f00");
    row("RCA right", "RCA", -10, Qt::Key_Right, -9, "30003701");
    // The bottom reads as muted but is a level like any other.
    row("ALL home", "All", -10, Qt::Key_Home, -64, "30000000");
    row("XLR end", "XLR", -20, Qt::Key_End, 0, "30004002");
    // Actions at the end of the range change nothing and send nothing.
    row("ALL right at the top", "All", 0, Qt::Key_Right, 0, "");
    row("XLR left at the bottom", "XLR", -64, Qt::Key_Left, -64, "");
    row("RCA page up at the top", "RCA", 0, Qt::Key_PageUp, 0, "");
    row("ALL end at the top", "All", 0, Qt::Key_End, 0, "");
}

void VolumeTest::keyMovesSendOneFramePerChange()
{
    QFETCH(QString, channel);
    QFETCH(int, start);
    QFETCH(Qt::Key, key);
    QFETCH(int, level);
    QFETCH(QByteArray, frame);

    open();
    startAt(channel, start);
    slider(channel)->setFocus();
    QTest::keyClick(slider(channel), key);
    QCOMPARE(slider(channel)->value(), level);
    expectSent(frame);
    QCOMPARE(levelLabel(channel), levelText(level));
    // Reaching the bottom by hand is not muting.
    QVERIFY(!control<QCheckBox>("checkBox_", channel)->isChecked());
}

// clang-format off
void VolumeTest::mouseSendsEveryValuePassed_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("notches"); // of the wheel; 0: a drag to the end
    QTest::addColumn<int>("end"); // of a drag; of a notch, only its direction

    QTest::newRow("ALL dragged down to the bottom") << "All" << 0 << 0 << -64;
    QTest::newRow("XLR dragged down to the bottom") << "XLR" << -20 << 0 << -64;
    QTest::newRow("RCA dragged up to the top") << "RCA" << -10 << 0 << 0;
    QTest::newRow("ALL dragged up to the top") << "All" << -40 << 0 << 0;
    QTest::newRow("ALL wheeled down") << "All" << 0 << -1 << -64;
    QTest::newRow("XLR wheeled down twice") << "XLR" << -20 << -2 << -64;
    QTest::newRow("RCA wheeled up") << "RCA" << -10 << 1 << 0;
    QTest::newRow("ALL wheeled up at the top") << "All" << 0 << 1 << 0;
    QTest::newRow("RCA wheeled down at the bottom") << "RCA" << -64 << -1 << -64;
}
// clang-format on

void VolumeTest::mouseSendsEveryValuePassed()
{
    QFETCH(QString, channel);
    QFETCH(int, start);
    QFETCH(int, notches);
    QFETCH(int, end);

    open();
    startAt(channel, start);
    QSlider *moved = slider(channel);
    QSignalSpy valueChanges(moved, &QSlider::valueChanged);
    QPoint position = handleCentre(moved);
    for (int turned = 0; turned < qAbs(notches); ++turned) {
        QWheelEvent notch(position, moved->mapToGlobal(position), QPoint(), QPoint(0, notches > 0 ? 120 : -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(moved, &notch);
    }
    if (notches == 0) {
        // Grab the handle and pull it past the end of the groove a little at a time.
        QTest::mousePress(moved, Qt::LeftButton, {}, position);
        QVERIFY(moved->isSliderDown());
        const int stride = end < start ? -2 : 2;
        while (end < start ? position.x() > -10 : position.x() < moved->width() + 10)
            QTest::mouseMove(moved, position += QPoint(stride, 0));
        QTest::mouseRelease(moved, Qt::LeftButton, {}, position);
    }
    // A notch moves by the platform's scroll step, in the wheel's direction.
    const auto direction = [](int change) { return (change > 0) - (change < 0); };
    QCOMPARE(direction(moved->value() - start), direction(end - start));
    QVERIFY(notches != 0 || moved->value() == end);
    // Tracking is on: a drag passes many values, each sent once, in order.
    QVERIFY2(notches != 0 || valueChanges.size() > 5, qPrintable(QString::number(valueChanges.size())));
    expectSent(absoluteFrames(valueChanges, channel));
    QCOMPARE(levelLabel(channel), levelText(moved->value()));
    QVERIFY(!control<QCheckBox>("checkBox_", channel)->isChecked());
}

void VolumeTest::buttonSendsExactlyOneFrame_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("echo");

    const auto row = [](const char *name, const char *channel, int start, int step, const char *button, int level,
                        const char *hex, const char *echo) {
        QTest::newRow(name) << QString::fromLatin1(channel) << start << step << QString::fromLatin1(button) << level
                            << QByteArray::fromHex(hex) << QString::fromLatin1(echo);
    };
    row("RCA min", "RCA", -10, 1, "Min", -64, "30000001", "Absolute Volume : 0x30 0x0 0x0 0x1");
    row("RCA min at the bottom", "RCA", -64, 1, "Min", -64, "30000001", "Absolute Volume : 0x30 0x0 0x0 0x1");
    row("XLR max", "XLR", -20, 1, "Max", 0, "30004002", "Absolute Volume : 0x30 0x0 0x40 0x2");
    row("XLR max at the top", "XLR", 0, 1, "Max", 0, "30004002", "Absolute Volume : 0x30 0x0 0x40 0x2");
    row("ALL min", "All", 0, 32, "Min", -64, "30000000", "Absolute Volume : 0x30 0x0 0x0 0x0");
    // More and Less clamp the slider but always send the full step.
    row("ALL more 32 at -10", "All", -10, 32, "Plus", 0, "31004000", "Relative Volume : 0x31 0x0 0x40 0x0");
    row("ALL less 1 at the bottom", "All", -64, 1, "Less", -64, "31001f00", "Relative Volume : 0x31 0x0 0x1f 0x0");
    row("XLR more 10 at -3", "XLR", -3, 10, "Plus", 0, "31002a02", "Relative Volume : 0x31 0x0 0x2a 0x2");
    row("XLR less 5 at -20", "XLR", -20, 5, "Less", -25, "31001b02", "Relative Volume : 0x31 0x0 0x1b 0x2");
    row("RCA more 5 at -10", "RCA", -10, 5, "Plus", -5, "31002501", "Relative Volume : 0x31 0x0 0x25 0x1");
    row("RCA less 32 at -40", "RCA", -40, 32, "Less", -64, "31000001", "Relative Volume : 0x31 0x0 0x0 0x1");
    row("RCA more 1 at the top", "RCA", 0, 1, "Plus", 0, "31002101", "Relative Volume : 0x31 0x0 0x21 0x1");
}

void VolumeTest::buttonSendsExactlyOneFrame()
{
    QFETCH(QString, channel);
    QFETCH(int, start);
    QFETCH(int, step);
    QFETCH(QString, button);
    QFETCH(int, level);
    QFETCH(QByteArray, frame);
    QFETCH(QString, echo);

    open();
    startAt(channel, start);
    control<QSpinBox>("spinBox_", channel)->setValue(step);
    clickButton(*window, qPrintable(QLatin1String("pushButton_") + channel + QLatin1Char('_') + button));
    QCOMPARE(slider(channel)->value(), level);
    // The slider moved by the button sends no Absolute Volume frame of its own.
    expectSent(frame);
    QCOMPARE(status(), echo);
    QCOMPARE(levelLabel(channel), levelText(level));
}

void VolumeTest::muteAndUnmute_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("level");

    QTest::newRow("XLR at -20") << "XLR" << -20;
    QTest::newRow("ALL at the top") << "All" << 0;
    QTest::newRow("RCA at its start level") << "RCA" << -10;
    QTest::newRow("RCA at the bottom") << "RCA" << -64;
}

void VolumeTest::muteAndUnmute()
{
    QFETCH(QString, channel);
    QFETCH(int, level);

    open();
    startAt(channel, level);
    QCheckBox *mute = control<QCheckBox>("checkBox_", channel);
    const QList<QWidget *> controls = {slider(channel),
                                       control<QWidget>("pushButton_", channel, "_Min"),
                                       control<QWidget>("pushButton_", channel, "_Max"),
                                       control<QWidget>("pushButton_", channel, "_Plus"),
                                       control<QWidget>("pushButton_", channel, "_Less"),
                                       control<QWidget>("spinBox_", channel)};
    const auto enabledControls = [&controls] {
        int enabled = 0;
        for (const QWidget *widget : controls)
            enabled += widget->isEnabled() ? 1 : 0;
        return enabled;
    };
    const auto othersUntouched = [this, &channel] {
        for (const QString &other : channels) {
            if (other != channel
                && !(slider(other)->isEnabled() && control<QWidget>("pushButton_", other, "_Min")->isEnabled()))
                return false;
        }
        return true;
    };

    mute->setFocus();
    QTest::keyClick(mute, Qt::Key_Space);
    QVERIFY(mute->isChecked());
    expectSent(QByteArray("\x33\x00\x01", 3) + channelCode(channel));
    QCOMPARE(slider(channel)->value(), -64);
    QCOMPARE(levelLabel(channel), QStringLiteral("Mute"));
    QCOMPARE(enabledControls(), 0);
    QVERIFY(mute->isEnabled());
    QVERIFY(control<QLabel>("label_Volume_Value_", channel)->isEnabled());
    QVERIFY(othersUntouched());

    QTest::keyClick(mute, Qt::Key_Space);
    QVERIFY(!mute->isChecked());
    // Unmuting restores the level without an Absolute Volume frame.
    expectSent(QByteArray("\x33\x00\x00", 3) + channelCode(channel));
    QCOMPARE(slider(channel)->value(), level);
    QCOMPARE(levelLabel(channel), levelText(level));
    QCOMPARE(enabledControls(), int(controls.size()));
    QVERIFY(othersUntouched());
}

// An operator action that changes nothing must not make a later change by
// the program look like the operator's: each rule below moves the XLR slider
// right after such an action and must still send only its own frame.
void VolumeTest::actionWithoutChangeLeavesNoTrace()
{
    const QString all = QStringLiteral("All");
    const QString xlr = QStringLiteral("XLR");
    const auto actWithoutChange = [this, &all] {
        QTest::keyClick(slider(all), Qt::Key_Right);
        expectSent(QByteArray());
    };
    open();
    startAt(xlr, -20);

    actWithoutChange();
    clickButton(*window, "pushButton_XLR_Max");
    expectSent(QByteArray::fromHex("30004002"));

    actWithoutChange();
    clickButton(*window, "pushButton_XLR_Less");
    expectSent(QByteArray::fromHex("31001f02"));
    QCOMPARE(slider(xlr)->value(), -1);

    actWithoutChange();
    QTest::keyClick(control<QCheckBox>("checkBox_", xlr), Qt::Key_Space);
    expectSent(QByteArray::fromHex("33000102"));

    actWithoutChange();
    QTest::keyClick(control<QCheckBox>("checkBox_", xlr), Qt::Key_Space);
    expectSent(QByteArray::fromHex("33000002"));
    QCOMPARE(slider(xlr)->value(), -1);
}

// clang-format off
void VolumeTest::othersMoveThePanel_data()
{
    QTest::addColumn<QStringList>("sent");     // by another program, through the console
    QTest::addColumn<QStringList>("expected"); // per channel ALL, XLR, RCA: "<label> <muted>"

    QTest::newRow("a level") << QStringList{"volume xlr -20"} << QStringList{"0 dB no", "-20 dB no", "-10 dB no"};
    QTest::newRow("a step") << QStringList{"volume rca up 5"} << QStringList{"0 dB no", "0 dB no", "-5 dB no"};
    QTest::newRow("muted") << QStringList{"volume xlr -20", "mute xlr on"} << QStringList{"0 dB no", "Mute yes", "-10 dB no"};
    // A level set while muted is the one the channel comes back to.
    QTest::newRow("set while muted") << QStringList{"mute rca on", "volume rca -30", "mute rca off"}
                                     << QStringList{"0 dB no", "0 dB no", "-30 dB no"};
}
// clang-format on

// What another program's commands set shows in the panel as the operator's
// own click would have, and the console sends nothing of its own for it.
void VolumeTest::othersMoveThePanel()
{
    QFETCH(QStringList, sent);
    QFETCH(QStringList, expected);
    open();
    QLocalSocket other;
    other.connectToServer(portEndpointName(pty->slavePath()));
    QVERIFY(other.waitForConnected(5000));
    QByteArray frames;
    for (const QString &words : sent) {
        other.write(words.toLatin1() + '\n');
        QVERIFY(QTest::qWaitFor([&] { return other.canReadLine(); }, 5000));
        QVERIFY(other.readLine().startsWith("ok "));
        frames += frameBytes(toFrame(parseCommandWords(words.split(QLatin1Char(' '))).commands.first()));
    }
    QStringList shown;
    for (const QString &channel : channels) {
        const bool muted = control<QCheckBox>("checkBox_", channel)->isChecked();
        shown << levelLabel(channel) + (muted ? " yes" : " no");
        QCOMPARE(slider(channel)->isEnabled(), !muted);
    }
    QCOMPARE(shown, expected);
    expectSent(frames);
}

QTEST_MAIN(VolumeTest)
#include "tst_volume.moc"
