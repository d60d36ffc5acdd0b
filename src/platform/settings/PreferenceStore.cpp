#include "platform/settings/PreferenceStore.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <cstdlib>
#include <cstring>

namespace ovra {

static const char* const OWN_DOMAIN = "com.quillfen.tempix";

std::string PreferenceStore::filePath(const char* domain)
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config != nullptr && config[0] == '/') {
        folder = config;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home ? home : "") + "/.config";
    }
    return folder + "/" + (domain ? domain : OWN_DOMAIN) + ".conf";
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
    QVariant value = settings->value(QString::fromUtf8(key));
    QString text;
    switch (value.typeId()) {
    case QMetaType::QString:
        text = value.toString();
        break;
    case QMetaType::QStringList:
        // A hand-written value with commas reads back as a list.
        text = value.toStringList().join(QStringLiteral(", "));
        break;
    default:
        throw -1;
    }
    QByteArray utf8 = text.toUtf8();
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
    QVariant value = settings->value(QString::fromUtf8(key));
    QByteArray bytes;
    switch (value.typeId()) {
    case QMetaType::QByteArray:
        bytes = value.toByteArray();
        break;
    case QMetaType::QString:
        bytes = value.toString().toUtf8();
        break;
    default:
        throw -1;
    }
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
