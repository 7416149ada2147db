#include "about_dialog.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "base/texts.h"

namespace dl::gui {

namespace {

QString qstr(Text t) {
    return QString::fromStdString(std::string(text(t)));
}

// The box is laid out in dialog units of an 8-point font: 1.5 pixels across, 1.625 down per unit.
QRect units(int x, int y, int w, int h) {
    return QRect(x * 3 / 2, y * 13 / 8, w * 3 / 2, h * 13 / 8);
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      picture_(QStringLiteral(":/about.xpm")) {
    setWindowTitle(qstr(Text::appTitle));
    setModal(true);
    setFixedSize(units(0, 0, 220, 100).size());
    version_ = new QLabel(qstr(Text::aboutVersion), this);
    date_ = new QLabel(qstr(Text::aboutDate), this);
    for (QLabel* l : {version_, date_}) {
        l->setAlignment(Qt::AlignCenter);
        l->setTextFormat(Qt::PlainText);
    }
    version_->setGeometry(units(56, 30, 100, 10));
    date_->setGeometry(units(56, 50, 100, 10));
    ok_ = new QPushButton(qstr(Text::buttonOk), this);
    ok_->setGeometry(units(160, 65, 50, 20));
    ok_->setDefault(true);
    ok_->setFocus();
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutDialog::reject() {
    // Escape and the close button end here: the box stays until OK.
}

void AboutDialog::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter p(this);
    p.drawPixmap(pictureRect().topLeft(), picture_);
}

}  // namespace dl::gui
