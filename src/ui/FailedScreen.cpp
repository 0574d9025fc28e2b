#include "ui/FailedScreen.hpp"

#include "ui/Brand.hpp"
#include "workflow/AppModel.hpp"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brightfold {

FailedScreen::FailedScreen(AppModel& model, const QString& message, QWidget* parent)
    : QWidget(parent)
    , m_back(new QPushButton(QStringLiteral("Back")))
{
    auto* symbol = Brand::symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 56, Brand::warning(palette()));
    symbol->setAccessibleName(QStringLiteral("Warning"));
    auto* title = Brand::paragraph(QStringLiteral("Recovery Could Not Start"));
    title->setObjectName(QStringLiteral("title"));
    title->setAlignment(Qt::AlignHCenter);
    Brand::setTextSize(title, 1.45, Brand::Weight::bold);
    auto* text = Brand::paragraph(message);
    text->setObjectName(QStringLiteral("message"));
    text->setAlignment(Qt::AlignHCenter);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_back->setDefault(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 24, 40, 20);
    column->setSpacing(12);
    column->addStretch(1);
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    column->addWidget(title);
    column->addWidget(text);
    column->addSpacing(8);
    column->addWidget(m_back, 0, Qt::AlignHCenter);
    column->addStretch(2);
    connect(m_back, &QPushButton::clicked, &model, &AppModel::returnToSetup);
}

}
