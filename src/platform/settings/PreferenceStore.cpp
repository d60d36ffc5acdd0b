#include "platform/settings/PreferenceStore.h"
#include "platform/tools_paths.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <cstdlib>
#include <cstring>

namespace ovra {

static const char* const OWN_DOMAIN = "com.quillfen.tempix";

// The bytes of a stored value: text as UTF-8, and for data also a byte array.
// A hand-written text value with commas reads back as a list, which is taken
// as text. Any other type is not ours: -1 is thrown.
static QByteArray storedbytes(const QVariant& value, bool data)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString().toUtf8();
    case QMetaType::QStringList:
        if (!data)
            return value.toStringList().join(QStringLiteral(", ")).toUtf8();
        break;
    case QMetaType::QByteArray:
        if (data)
            return value.toByteArray();
        break;
    default:
        break;
    }
    throw -1;
}

std::string PreferenceStore::filePath(const char* domain)
{
    return configfolder() + "/" + (domain ? domain : OWN_DOMAIN) + ".conf";
}

PreferenceStore::PreferenceStore(const char* domain, bool readOnly)
    : readOnly(readOnly),
      settings(std::make_unique<QSettings>(QString::fromStdString(filePath(domain)), QSettings::IniFormat))
{
}

PreferenceStore::~PreferenceStore()
{
    if (!readOnly)
        settings->sync();
}

int32_t PreferenceStore::getInt(const char* key)
{
    QVariant value = settings->value(QString::fromUtf8(key));
    if (!value.isValid())
        throw -1;
    // Only text and numbers convert; a list or byte array is of the wrong type.
    int type = value.typeId();
    if (type == QMetaType::QStringList || type == QMetaType::QByteArray)
        throw -1;
    bool ok = false;
    int result = value.toInt(&ok);
    if (!ok)
        throw -1;
    return result;
}

void PreferenceStore::setInt(const char* key, int32_t value) { settings->setValue(QString::fromUtf8(key), value); }

void PreferenceStore::getString(const char* key, char* buffer, size_t size)
{
    QByteArray utf8 = storedbytes(settings->value(QString::fromUtf8(key)), false);
    if (size == 0 || static_cast<size_t>(utf8.size()) + 1 > size)
        throw -1;
    std::memcpy(buffer, utf8.constData(), static_cast<size_t>(utf8.size()));
    buffer[utf8.size()] = '\0';
}

void PreferenceStore::setString(const char* key, const char* text)
{
    settings->setValue(QString::fromUtf8(key), QString::fromUtf8(text));
}

void PreferenceStore::getData(const char* key, Ptr_auto<char>& block)
{
    QByteArray bytes = storedbytes(settings->value(QString::fromUtf8(key)), true);
    if (!block.malloc(static_cast<size_t>(bytes.size()), false))
        throw -1;
    if (!bytes.isEmpty())
        std::memcpy(block.get(), bytes.constData(), static_cast<size_t>(bytes.size()));
}

void PreferenceStore::setData(const char* key, const void* data, size_t size)
{
    settings->setValue(QString::fromUtf8(key),
                       QByteArray(static_cast<const char*>(data), static_cast<qsizetype>(size)));
}

void PreferenceStore::synchronize()
{
    settings->sync();
    if (settings->status() != QSettings::NoError)
        throw -1;
}

} // namespace ovra
