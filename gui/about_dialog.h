// The About box: the application title of the language, the picture, the version and the build date.
// It closes only through OK or Enter: Escape and the title bar's close button leave it open.
#pragma once

#include <QDialog>
#include <QPixmap>

class QLabel;
class QPushButton;

namespace dl::gui {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QLabel* versionLabel() const { return version_; }
    QLabel* dateLabel() const { return date_; }
    QPushButton* okButton() const { return ok_; }
    // Where the picture is drawn, in the dialog's client coordinates.
    static QRect pictureRect() { return QRect(10, 10, 64, 64); }

public slots:
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap picture_;
    QLabel* version_;
    QLabel* date_;
    QPushButton* ok_;
};

}  // namespace dl::gui
