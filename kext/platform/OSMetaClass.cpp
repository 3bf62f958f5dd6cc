#include "kext/platform/OSMetaClass.h"

#include "kext/platform/IOLog.h"
#include "kext/platform/OSObject.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace vennix {

namespace {

// The table of registered classes, in registration order. Made on first use, so that it
// exists before the first metaclass of any translation unit registers, whatever order the
// static constructors run in; never destroyed, so that metaclasses may unregister from any
// static destructor, whenever it runs.
struct ClassTable {
    std::mutex lock;
    std::vector<const OSMetaClass*> classes;
};

ClassTable& classTable()
{
    static ClassTable* const table = new ClassTable;
    return *table;
}

// Caller holds the table's lock.
const OSMetaClass* findLocked(const ClassTable& table, const char* name)
{
    for (const OSMetaClass* meta : table.classes) {
        if (std::strcmp(meta->getClassName(), name) == 0)
            return meta;
    }
    return nullptr;
}

} // namespace

OSMetaClass::OSMetaClass(const char* className, const OSMetaClass* superClass,
                         Allocator allocator)
    : fClassName(className ? className : ""), fSuperClass(superClass), fAllocator(allocator)
{
    if (fClassName[0] == '\0')
        return;
    ClassTable& table = classTable();
    std::lock_guard<std::mutex> hold(table.lock);
    if (findLocked(table, fClassName)) {
        IOLog("OSMetaClass/ %s is already registered\n", fClassName);
        return;
    }
    table.classes.push_back(this);
}

OSMetaClass::~OSMetaClass()
{
    ClassTable& table = classTable();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = std::find(table.classes.begin(), table.classes.end(), this);
    if (it != table.classes.end())
        table.classes.erase(it);
}

bool OSMetaClass::isRegistered() const
{
    ClassTable& table = classTable();
    std::lock_guard<std::mutex> hold(table.lock);
    return std::find(table.classes.begin(), table.classes.end(), this) != table.classes.end();
}

OSObject* OSMetaClass::alloc() const
{
    return fAllocator ? fAllocator() : nullptr;
}

bool OSMetaClass::isSubclassOf(const OSMetaClass* other) const
{
    if (other == nullptr)
        return false;
    for (const OSMetaClass* meta = this; meta; meta = meta->fSuperClass) {
        if (meta == other)
            return true;
    }
    return false;
}

OSObject* OSMetaClass::checkMetaCast(const OSObject* object) const
{
    if (object == nullptr || !object->getMetaClass()->isSubclassOf(this))
        return nullptr;
    return const_cast<OSObject*>(object);
}

const OSMetaClass* OSMetaClass::getMetaClassWithName(const char* name)
{
    if (name == nullptr)
        return nullptr;
    ClassTable& table = classTable();
    std::lock_guard<std::mutex> hold(table.lock);
    return findLocked(table, name);
}

OSObject* OSMetaClass::allocClassWithName(const char* name)
{
    // Metaclasses live until their static destruction, so the one found stays valid here.
    const OSMetaClass* meta = getMetaClassWithName(name);
    return meta ? meta->alloc() : nullptr;
}

OSObject* OSMetaClass::checkMetaCastWithName(const char* name, const OSObject* object)
{
    const OSMetaClass* meta = getMetaClassWithName(name);
    return meta ? meta->checkMetaCast(object) : nullptr;
}

std::vector<std::string> OSMetaClass::getRegisteredClassNames()
{
    std::vector<std::string> names;
    ClassTable& table = classTable();
    std::lock_guard<std::mutex> hold(table.lock);
    try {
        names.reserve(table.classes.size());
        for (const OSMetaClass* meta : table.classes)
            names.emplace_back(meta->getClassName());
    } catch (...) {
        names.clear();
    }
    return names;
}

} // namespace vennix
