// Lookups in the program's resource table, by id, as the platform's resource loader finds
// them in an executable.
#include "platform/framework/Resources.h"

namespace {

template <typename T>
const T* FindById(const T* table, int count, UINT id) {
    for (int i = 0; i < count; ++i) {
        if (table[i].id == id) {
            return &table[i];
        }
    }
    return nullptr;
}

}  // namespace

const DLGTEMPLATE* FindDialogResource(UINT id) {
    return FindById(g_resources.dialogs, g_resources.dialogCount, id);
}

LPCSTR FindStringResource(UINT id) {
    const STRINGRES* entry = FindById(g_resources.strings, g_resources.stringCount, id);
    return entry != nullptr ? entry->text : nullptr;
}

const ICONRES* FindIconResource(UINT id) {
    return FindById(g_resources.icons, g_resources.iconCount, id);
}
