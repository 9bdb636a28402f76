// The interface a host plug-in implements; the host calls its six operations in slot order.
#pragma once

#include <QtPlugin>

class LogList;

// The host's plug-in interface identifier; plug-ins put it into their metadata.
#define TAV_INTERFACE_IID "net.tavhost.TAV/1.0.7"

class TAVInterface {
public:
    virtual ~TAVInterface() = default;
    virtual bool init() = 0;
    virtual bool readData(LogList* list) = 0;
    virtual bool getEventData(LogList* list) = 0;
    virtual bool logCallback(LogList* list) = 0;
    virtual bool writeData(LogList* list) = 0;
    virtual bool stopPlugin() = 0;
};

Q_DECLARE_INTERFACE(TAVInterface, TAV_INTERFACE_IID)
