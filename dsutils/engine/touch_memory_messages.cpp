#include "dsutils/engine/touch_memory_messages.h"

namespace dsutils {
namespace {

constexpr const char* kNoMedium =
    "В адаптере Touch-Memory отсутствует носитель.\nВставьте носитель Touch-Memory в адаптер.";

constexpr TouchMemoryMessage kMessages[] = {
    {-1, kNoMedium, true},
    {-2, "Тип TM устройства не соответствует данной операции.", true},
    {-3, "Ошибка чтения файла/каталога на TM.\nВозможно, плохой контакт устройства с адаптером.", true},
    {-4, "Буфер для чтения меньше размера файла на TM.", false},
    {-5, "Слишком много открытых файлов на TM.", false},
    {-6, "Заданный файл на TM не найден.", true},
    {-7, "Файл с заданным именем на TM уже существует.", true},
    {-8, "Неверный идентификатор файла на TM.", false},
    {-9, "Попытка читать с TM из файла,\nпредназначенного только для записи.", false},
    {-10, "Не хватает памяти на TM.", false},
    {-11, "Ошибка записи на TM.", true},
    {-12, "Попытка писать на TM в файл,\nпредназначенный только для чтения.", false},
    {-13, "Данная функция TM не поддерживается.", false},
    {-14, "Недопустимое имя файла/каталога на TM.", false},
    {-15, "Попытка удалить на TM файл,\nпредназначенный для чтения.", false},
    {-16, "Идентификатор файла на TM не существует.", false},
    {-17, kNoMedium, true},
    {-18, "Неверно задан каталог TM.", false},
    {-19, "Удаляемый каталог на TM не пустой.", false},
    {-20, "Максимальное число подкаталогов на TM равно 10.", false},
    {-21, "Программирование TM не стартовало.", false},
    {-22, "Данные на TM защищены от записи.", false},
    {-23, "Данное TM устройство не EPROM-типа и не программируется.", false},
    {-24, "Функция AddFile завершена, поэтому данные\nне могут быть добавлены.", false},
    {-25, "Время ожидания устройства TM истекло.", false},
    {-26, "Неверно заданы параметры.", false},
    {-27, "Ошибка ACK.", false},
    {-200, "Неверный TM сеанс (не реализован в MSDOS).", false},
    {-201, "Требуемый драйвер для TM адаптера не найден.", false},
};

}  // namespace

std::span<const TouchMemoryMessage> touch_memory_messages() { return kMessages; }

const TouchMemoryMessage* find_touch_memory_message(int code) {
  for (const TouchMemoryMessage& m : kMessages)
    if (m.code == code) return &m;
  return nullptr;
}

}  // namespace dsutils
