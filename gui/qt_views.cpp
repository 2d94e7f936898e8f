#include "gui/qt_views.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QString>
#include <memory>

#include "gui/ui_dispatcher.h"

namespace corvid::gui {

namespace {

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// The bar's colour tells the verdict from across the room: teal while running, green for a
// pass, red for a failure.
QString gaugeSheet(SlotPicture verdict) {
    const char* colour = verdict == SlotPicture::Pass   ? "green"
                         : verdict == SlotPicture::Fail ? "red"
                                                        : "teal";
    return QStringLiteral("QProgressBar::chunk { background-color: %1; }")
        .arg(QString::fromLatin1(colour));
}

}  // namespace

void showStatusText(QLabel& label, const QString& status) {
    // A text wider than its line loses its middle, never its end (where "fail" stands), and the
    // whole text is the tooltip.
    const QString shown =
        label.fontMetrics().elidedText(status, Qt::ElideMiddle, label.contentsRect().width());
    label.setText(shown);
    label.setToolTip(shown == status ? QString() : status);
}

void showVerdict(QProgressBar& gauge, SlotPicture verdict) {
    gauge.setStyleSheet(gaugeSheet(verdict));
}

void showStatusColour(QLabel& label, StatusColour colour) {
    switch (colour) {
        case StatusColour::WindowText:
            label.setStyleSheet(QString());
            break;
        case StatusColour::Red:
            label.setStyleSheet(QStringLiteral("color: red;"));
            break;
        case StatusColour::Blue:
            label.setStyleSheet(QStringLiteral("color: blue;"));
            break;
    }
}

QtSlotView::QtSlotView(UiDispatcher& ui, SlotWidgets widgets, QPixmap pass, QPixmap fail)
    : ui_(ui), widgets_(widgets), pass_(std::move(pass)), fail_(std::move(fail)) {}

void QtSlotView::setStatus(const std::string& status) {
    ui_.post([label = widgets_.status, value = text(status)] { showStatusText(*label, value); });
}

void QtSlotView::setStatusColour(StatusColour colour) {
    ui_.post([label = widgets_.status, colour] { showStatusColour(*label, colour); });
}

void QtSlotView::setDetailP(const std::string& detail) {
    ui_.post([label = widgets_.detailP, value = text(detail)] { label->setText(value); });
}

void QtSlotView::setDetailF(const std::string& detail) {
    ui_.post([label = widgets_.detailF, value = text(detail)] { label->setText(value); });
}

void QtSlotView::setProgress(int position) {
    ui_.runAndWait([gauge = widgets_.gauge, position] {
        gauge->setValue(position);
        gauge->repaint();  // the worker goes on only once the bar shows the position
    });
}

void QtSlotView::setProgressMaximum(int maximum) {
    ui_.post([gauge = widgets_.gauge, maximum] { gauge->setMaximum(maximum); });
}

void QtSlotView::setPicture(SlotPicture picture) {
    const QPixmap shown = picture == SlotPicture::Pass   ? pass_
                          : picture == SlotPicture::Fail ? fail_
                                                         : QPixmap();
    ui_.post([label = widgets_.picture, gauge = widgets_.gauge, shown, picture] {
        label->setPixmap(shown);
        showVerdict(*gauge, picture);
    });
}

void QtSlotView::setGaugeVisible(bool visible) {
    ui_.post([gauge = widgets_.gauge, visible] { gauge->setVisible(visible); });
}

QtStationView::QtStationView(UiDispatcher& ui, StationWidgets widgets)
    : ui_(ui), widgets_(std::move(widgets)) {}

void QtStationView::showCounters(int total, int success, int fail) {
    ui_.post([w = widgets_, total, success, fail] {
        w.total->setNum(total);
        w.success->setNum(success);
        w.fail->setNum(fail);
    });
}

void QtStationView::setSettingGroupsEnabled(bool enabled) {
    ui_.post([groups = widgets_.settingGroups, enabled] {
        for (QWidget* group : groups) {
            group->setEnabled(enabled);
        }
    });
}

void QtStationView::setSystemAreaLabel(const std::string& label) {
    ui_.post([target = widgets_.systemArea, value = text(label)] { target->setText(value); });
}

void QtStationView::setManualUpgradeEnabled(bool enabled) {
    ui_.post([box = widgets_.manualUpgrade, enabled] { box->setEnabled(enabled); });
}

QtOperatorPrompt::QtOperatorPrompt(UiDispatcher& ui, QWidget* parent) : ui_(ui), parent_(parent) {}

namespace {

QMessageBox::Icon boxIcon(PromptIcon icon) {
    return icon == PromptIcon::Error     ? QMessageBox::Critical
           : icon == PromptIcon::Warning ? QMessageBox::Warning
                                         : QMessageBox::Information;
}

}  // namespace

void QtOperatorPrompt::notify(const std::string& message, const std::string& caption,
                              PromptIcon icon) {
    ui_.post([message, caption, icon, parent = parent_] {
        auto* box = new QMessageBox(boxIcon(icon), text(caption), text(message), QMessageBox::Ok,
                                    parent.data());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    });
}

PromptAnswer QtOperatorPrompt::show(const std::string& message, const std::string& caption,
                                    PromptIcon icon, PromptButtons buttons) {
    // Shared with the box: a window closed while the box is open lets the asker go first.
    const auto answer =
        std::make_shared<PromptAnswer>(buttons == PromptButtons::YesNo      ? PromptAnswer::No
                                       : buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel
                                                                            : PromptAnswer::Ok);
    ui_.runAndWait([answer, message, caption, icon, buttons, parent = parent_] {
        QMessageBox box(boxIcon(icon), text(caption), text(message), QMessageBox::NoButton,
                        parent.data());
        switch (buttons) {
            case PromptButtons::Ok:
                box.setStandardButtons(QMessageBox::Ok);
                break;
            case PromptButtons::OkCancel:
                box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
                break;
            case PromptButtons::YesNo:
                box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
                break;
        }
        switch (box.exec()) {
            case QMessageBox::Ok:
                *answer = PromptAnswer::Ok;
                break;
            case QMessageBox::Yes:
                *answer = PromptAnswer::Yes;
                break;
            case QMessageBox::No:
                *answer = PromptAnswer::No;
                break;
            case QMessageBox::Cancel:
                *answer = PromptAnswer::Cancel;
                break;
            default:
                break;  // closed without a button: the cautious answer stands
        }
    });
    return *answer;
}

}  // namespace corvid::gui
