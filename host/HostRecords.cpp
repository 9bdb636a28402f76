#include "host/HostRecords.h"

#include <utility>

int DeviceInstancePlugin::getErrorWaitTimeSeconds() const
{
    return errorWaitTimeSeconds > 0 ? errorWaitTimeSeconds : 5;
}

DatabaseColumnStructure::DatabaseColumnStructure(QString name_, DataType dataType_, int length_,
                                                 QString defaultValue_, QString description_)
    : name(std::move(name_)),
      dataType(dataType_),
      defaultValue(std::move(defaultValue_)),
      description(std::move(description_)),
      length(length_)
{}

void DatabaseColumnStructure::insertSelectionValues(QString label, QString value)
{
    selectionValues.append(SelectionValue{std::move(label), std::move(value)});
}

DataItem::DataItem()
    : values(),
      timestamp(),
      item(),
      plugin(),
      extraItem(),
      device(),
      extraInt1(-1),
      extraShort(0),
      extraInt2(0),
      extraLong(0)
{}

DataItem::DataItem(const ItemInstancePlugin& item_) : DataItem()
{
    item = item_;
}
