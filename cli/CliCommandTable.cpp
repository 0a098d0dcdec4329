#include "cli/CliCommandTable.h"

#include "cli/CliCommands.h"

const std::vector<TCliOption>& CliOptions() {
    static const std::vector<TCliOption> options = {
        {"port", "ИМЯ", "NAME",
         "порт адаптера: имя, как в \"Настройка порта\" (COM1, ttyUSB0),\n"
         "постоянное имя /dev/serial/by-id/... или usb:СЕРИЙНЫЙ_НОМЕР кабеля;\n"
         "без него порт из RQ7_PORT, иначе COM1"},
        {"trace", nullptr, nullptr,
         "каждый кадр и ответ в шестнадцатеричном виде с миллисекундами\n"
         "от начала, в стандартный поток ошибок (отброшенные перед\n"
         "запросом байты помечены discarded)"},
        {"help", nullptr, nullptr, "справка; rq7cli КОМАНДА --help: справка по команде"},
        {"json", nullptr, nullptr, "вывод одним объектом JSON (ports: порты с данными USB)"},
        {"output", "ФАЙЛ", "FILE",
         "файл коэффициентов, как его сохраняет окно; \"-\": в стандартный\n"
         "вывод (таблица тогда в стандартный поток ошибок)"},
        {"no-verify", nullptr, nullptr, "без проверки записанного чтением"},
        {"address", "N", "N", "новый адрес обращения, от 0 до 255"},
        {"ch1", "ВЕРХ,НИЗ", "HIGH,LOW", "значения канала 1 при 20 и 4 мА (дробная часть через точку)"},
        {"ch2", "ВЕРХ,НИЗ", "HIGH,LOW", "значения канала 2 при 20 и 4 мА"},
        {"ch3", "ВЕРХ,НИЗ", "HIGH,LOW", "значения канала 3 при 20 и 4 мА"},
    };
    return options;
}

const std::vector<const char*>& CommonCliOptions() {
    static const std::vector<const char*> common = {"port", "trace", "help"};
    return common;
}

const std::vector<TCliCommand>& CliCommands() {
    static const std::vector<TCliCommand> commands = {
        {"ports",
         "",
         "",
         "порты компьютера, по одному имени в строке",
         "the computer's ports, one name a line",
         "Порты, как их перечисляет \"Настройка порта\". С --json: для каждого порта имя, устройство\n"
         "и, для кабелей USB, постоянное имя, коды производителя и изделия, серийный номер и место\n"
         "подключения.",
         {"json"},
         "rq7cli ports --json",
         CommandPorts},
        {"read",
         "",
         "",
         "чтение коэффициентов и проверка контрольной суммы",
         "read the coefficient block and check its checksum",
         "Чтение, как в окне \"Технолог.режим\": запрос опознания с повтором, 16 слотов, проверка\n"
         "контрольной суммы блока. Выводит значения каналов, заводской номер, адрес и дату записи.",
         {"json", "output"},
         "rq7cli read --port ttyUSB0 --output 0101001.dat",
         CommandRead},
        {"write",
         "ФАЙЛ",
         "FILE",
         "запись коэффициентов из файла (нужны оба пароля)",
         "write the block from a coefficient file (both passwords)",
         "Блок строится из файла коэффициентов, как при записи в окне \"Технолог.режим\" (с текущей\n"
         "датой), и записывается в 16 слотов с повтором; затем читается обратно и сверяется байт\n"
         "в байт. Неверное значение: \"Проверьте данные\" с номером строки, ничего не отправляется.",
         {"no-verify"},
         "printf '%s\\n%s\\n' \"$ПАРОЛЬ1\" \"$ПАРОЛЬ2\" | rq7cli write 0101001.dat --port ttyUSB0",
         CommandWrite},
        {"limits",
         "",
         "",
         "изменение границ каналов и адреса (нужен первый пароль)",
         "change the channel limits and the address (first password)",
         "Изменение, как в окне \"Изм.границ пар-ров\": блок читается, меняются только названные\n"
         "границы (и адрес), остальные слоты записываются байтами, которые адаптер хранит; сначала\n"
         "регистр адреса, затем блок, затем проверка чтением. Если менять нечего, ничего не пишется.",
         {"address", "ch1", "ch2", "ch3", "no-verify"},
         "rq7cli limits --port ttyUSB0 --ch2 90,-45",
         CommandLimits},
        {"translate",
         "",
         "",
         "перевод адаптера в режим побайтовой трансляции",
         "switch the adapter into byte-by-byte translation",
         "Как \"Доп.режим\": запрос перевода и ответ адаптера (\"Адаптер переведен в режим побайтовой\n"
         "трансляции\" или \"Попробуйте повторить\").",
         {},
         "rq7cli translate --port ttyUSB0",
         CommandTranslate},
    };
    return commands;
}

const TCliCommand* FindCliCommand(const std::string& name) {
    for (const TCliCommand& command : CliCommands()) {
        if (name == command.Name) {
            return &command;
        }
    }
    return nullptr;
}

const TCliOption* FindCliOption(const std::string& name) {
    for (const TCliOption& option : CliOptions()) {
        if (name == option.Name) {
            return &option;
        }
    }
    return nullptr;
}

std::string CliSynopsis(const TCliCommand& command) {
    std::string synopsis = std::string("rq7cli ") + command.Name;
    if (*command.Operand != '\0') {
        synopsis += std::string(" ") + command.Operand;
    }
    std::vector<const char*> names = command.Options;
    names.push_back("port");
    names.push_back("trace");
    for (const char* name : names) {
        const TCliOption* option = FindCliOption(name);
        synopsis += std::string(" [--") + name;
        if (option != nullptr && option->ValueName != nullptr) {
            synopsis += std::string(" ") + option->ValueName;
        }
        synopsis += "]";
    }
    return synopsis;
}
