#include "ui/message_box.h"

#include "core/app.h"
#include "ui/alert_box.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <vector>

namespace KUI {

namespace {

constexpr int kIconSize = 64;

QString qt(const std::string &text)
{
    return QString::fromStdString(text);
}

QMessageBox::Icon standardIcon(AlertStyle style)
{
    switch (style) {
    case AlertStyle::Informational:
        return QMessageBox::Information;
    case AlertStyle::Critical:
        return QMessageBox::Critical;
    case AlertStyle::Warning:
        break;
    }
    return QMessageBox::Warning;
}

// Raised and activated whenever it appears: the helper is a background
// program and is rarely the active one when it has something to say.
class AlertWindow : public QMessageBox {
public:
    AlertWindow()
    {
        // Modality first: setting it recreates the window flags.
        setWindowModality(Qt::ApplicationModal);
        setWindowFlag(Qt::WindowStaysOnTopHint);
        // Plain: a message holding "<" must read as written.
        setTextFormat(Qt::PlainText);
        if (auto *label = findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
            QFont bold = label->font();
            bold.setBold(true);
            label->setFont(bold);
        }
    }

protected:
    void showEvent(QShowEvent *event) override
    {
        QMessageBox::showEvent(event);
        raise();
        activateWindow();
    }
};

class QtAlert : public PlatformAlert {
public:
    QtAlert() { window.setIcon(standardIcon(style)); }

    void setTitle(const std::string &title) override { window.setWindowTitle(qt(title)); }
    void setMessageText(const std::string &text) override { window.setText(qt(text)); }
    void setInformativeText(const std::string &text) override { window.setInformativeText(qt(text)); }

    int addButton(const std::string &title) override
    {
        dropDefaultButton();
        QString text = qt(title);
        QPushButton *button = window.addButton(text, QMessageBox::AcceptRole);
        // Like the platform's alerts: the first button answers Return, a
        // "Cancel" button answers Escape.
        if (buttons.empty())
            window.setDefaultButton(button);
        if (text == QLatin1String("Cancel"))
            window.setEscapeButton(button);
        buttons.push_back(button);
        return static_cast<int>(buttons.size());
    }

    void removeButtons() override
    {
        dropDefaultButton();
        for (QAbstractButton *button : buttons) {
            window.removeButton(button);
            delete button;
        }
        buttons.clear();
    }

    void setIcon(const std::string &pathOrName) override
    {
        QString name = qt(pathOrName);
        QPixmap pixmap;
        // A missing file still gives a non-null QIcon; only sizes tell.
        QIcon fromFile(name);
        if (!fromFile.availableSizes().isEmpty())
            pixmap = fromFile.pixmap(kIconSize, kIconSize);
        if (pixmap.isNull() && !name.isEmpty()) {
            QIcon themed = QIcon::fromTheme(name);
            if (!themed.isNull())
                pixmap = themed.pixmap(kIconSize, kIconSize);
        }
        hasCustomIcon = !pixmap.isNull();
        if (hasCustomIcon)
            window.setIconPixmap(pixmap);
        else
            window.setIcon(standardIcon(style));
    }

    void setStyle(AlertStyle newStyle) override
    {
        style = newStyle;
        if (!hasCustomIcon)
            window.setIcon(standardIcon(style));
    }

    int runModal() override
    {
        if (buttons.empty() && !defaultButton) {
            defaultButton = window.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
            window.setDefaultButton(defaultButton);
        }
        dismissed = false;
        window.exec();
        QAbstractButton *pressed = window.clickedButton();
        if (dismissed || !pressed)
            return kAbortResponse;
        if (pressed == defaultButton)
            return kFirstButtonResponse;
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            if (buttons[i] == pressed)
                return kFirstButtonResponse + static_cast<int>(i);
        }
        return kAbortResponse;
    }

    bool isVisible() const override { return window.isVisible(); }

    void dismiss() override
    {
        dismissed = true;
        // Hiding ends the nested loop of exec(); it returns on its own turn.
        window.done(QDialog::Rejected);
    }

    bool isSuppressed() const override { return window.checkBox() && window.checkBox()->isChecked(); }

private:
    void dropDefaultButton()
    {
        if (!defaultButton)
            return;
        window.removeButton(defaultButton);
        delete defaultButton;
        defaultButton = nullptr;
    }

    AlertWindow window;
    std::vector<QAbstractButton *> buttons;
    QPushButton *defaultButton = nullptr;
    AlertStyle style = AlertStyle::Warning;
    bool hasCustomIcon = false;
    bool dismissed = false;
};

class QtAlertPlatform : public AlertPlatform {
public:
    std::shared_ptr<PlatformAlert> makeAlert() override { return std::make_shared<QtAlert>(); }
    void post(std::function<void()> task) override { KCore::App::postToMainThread(std::move(task)); }
};

AlertPlatform &qtPlatform()
{
    static QtAlertPlatform platform;
    return platform;
}

} // namespace

struct MessageBox::Impl {
    AlertBox box{qtPlatform()};
};

MessageBox::MessageBox()
    : impl(std::make_shared<Impl>())
{
}

MessageBox::~MessageBox() = default;

void MessageBox::setTitle(const std::string &title)
{
    impl->box.setTitle(title);
}

void MessageBox::setMessageText(const std::string &text)
{
    impl->box.setMessageText(text);
}

void MessageBox::setInformativeText(const std::string &text)
{
    impl->box.setInformativeText(text);
}

int MessageBox::addButton(const std::string &title)
{
    return impl->box.addButton(title);
}

void MessageBox::setIcon(const std::string &pathOrName)
{
    impl->box.setIcon(pathOrName);
}

int MessageBox::runModal()
{
    // The box may be destroyed while the alert is up: that must close it
    // like any destruction, so nothing here keeps the Impl alive.
    return impl->box.runModal();
}

void MessageBox::show(std::function<void(int)> completion)
{
    impl->box.show(std::move(completion));
}

bool MessageBox::isVisible() const
{
    return impl->box.isVisible();
}

void MessageBox::close()
{
    impl->box.close();
}

int MessageBox::showMessage(const std::string &message, const std::string &informative, int style,
    const std::vector<std::string> &buttonTitles)
{
    return AlertBox::showMessage(qtPlatform(), message, informative, style, buttonTitles);
}

} // namespace KUI
