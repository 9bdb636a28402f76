// What became of one item of a batch (subscription or write), as the item and the log show it.
#pragma once

#include "worker/ads_error_texts.h"
#include "worker/plc_type_check.h"

#include <QString>

#include <cstdint>

struct Item_Outcome {
    int32_t code = 0; // ADS code of the failure; -1 for a refusal of the plug-in's own
    QString text;     // the item's error text
    QString logText;  // "failed. " and the text, with the code of an ADS error
    bool typeJudged = false; // the PLC's symbol information was read: `typeCheck` holds its verdict
    ItemTypeCheck typeCheck;

    bool failed() const { return code != 0; }
    void fail(int32_t adsCode)
    {
        code = adsCode;
        text = errorToString(adsCode);
        logText = QStringLiteral("failed. ") + withErrorCode(text, adsCode);
    }
    void fail(const QString& reason)
    {
        code = -1;
        text = reason;
        logText = QStringLiteral("failed. ") + reason;
    }
};
