// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/IndiRelease.h"

#include <indipropertyblob.h>
#include <sharedblob.h>

void releaseBlobBytes(INDI::Property property)
{
    if (property.getType() != INDI_BLOB)
        return;
    for (INDI::WidgetView<IBLOB>& element : INDI::PropertyBlob(property)) {
        IDSharedBlobFree(element.getBlob());
        element.setBlob(nullptr);
        element.setBlobLen(0);
    }
}

void releaseDevice(INDI::BaseDevice device)
{
    for (INDI::Property property : device.getProperties())
        releaseBlobBytes(property);
    device.getProperties().clear();
}
