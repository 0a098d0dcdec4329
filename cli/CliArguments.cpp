#include "cli/CliArguments.h"

#include <QCommandLineParser>
#include <QStringList>

#include <algorithm>
#include <map>
#include <memory>

#include "cli/CliCommandTable.h"
#include "cli/CliExit.h"

#ifndef RQ7_VERSION
#define RQ7_VERSION "unknown"
#endif

namespace {

// Every option of the table in one parser.
struct TOptionSet {
    QCommandLineParser Parser;
    std::map<std::string, std::unique_ptr<QCommandLineOption>> Options;
    QCommandLineOption Version{QStringLiteral("version")};

    TOptionSet() {
        Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        for (const TCliOption& option : CliOptions()) {
            QStringList names{QString::fromLatin1(option.Name)};
            if (std::string(option.Name) == "help") {
                names.prepend(QStringLiteral("h"));
            }
            auto made = option.ValueName != nullptr
                            ? std::make_unique<QCommandLineOption>(names, QString(),
                                                                   QString::fromUtf8(option.ValueName))
                            : std::make_unique<QCommandLineOption>(names);
            Parser.addOption(*made);
            Options[option.Name] = std::move(made);
        }
        Parser.addOption(Version);
    }
    bool IsSet(const char* name) const { return Parser.isSet(*Options.at(name)); }
    std::string Value(const char* name) const { return Parser.value(*Options.at(name)).toStdString(); }
};

// The errors Qt finds in a command line, in Russian: found here, as Qt says them in the language of
// whatever translation the process has loaded.
std::string ParserError(const QCommandLineParser& parser, const QStringList& arguments) {
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString& name = unknown.first();
        return "неизвестный параметр " + std::string(name.size() == 1 ? "-" : "--") + name.toStdString();
    }
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const std::string arg = arguments[i].toStdString();
        if (arg == "--") {
            break;
        }
        const std::size_t dashes = arg.rfind("--", 0) == 0 ? 2 : (arg.rfind('-', 0) == 0 ? 1 : 0);
        if (dashes == 0) {
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name =
            arg.substr(dashes, equals == std::string::npos ? std::string::npos : equals - dashes);
        const TCliOption* option = FindCliOption(name);
        if (option == nullptr) {
            continue;
        }
        if (option->ValueName != nullptr && equals == std::string::npos && i + 1 == arguments.size()) {
            return "нет значения после " + arg;
        }
        if (option->ValueName == nullptr && equals != std::string::npos) {
            return "параметр --" + name + " не принимает значения";
        }
    }
    return parser.errorText().toStdString();
}

// An error text when an option is given to a command it means nothing to.
std::string CheckOptionsFit(const TOptionSet& options, const TCliCommand& command) {
    for (const TCliOption& option : CliOptions()) {
        const auto takes = [&option](const std::vector<const char*>& names) {
            return std::any_of(names.begin(), names.end(),
                               [&option](const char* name) { return std::string(name) == option.Name; });
        };
        if (options.IsSet(option.Name) && !takes(command.Options) && !takes(CommonCliOptions())) {
            return std::string("параметр --") + option.Name + " не подходит к команде " + command.Name;
        }
    }
    return {};
}

// Lines of the help: an option's name and its value, then its help, the help's further lines below it.
std::string OptionLines(const std::vector<const char*>& names) {
    std::string lines;
    for (const char* name : names) {
        const TCliOption* option = FindCliOption(name);
        if (option == nullptr) {
            continue;
        }
        std::string head = std::string("  --") + name;
        if (option->ValueName != nullptr) {
            head += std::string(" ") + option->ValueName;
        }
        const std::size_t width = 28;
        std::string help = option->Help;
        for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
            help.insert(at + 1, std::string(width, ' '));
        }
        // Width in characters: the value names are Cyrillic.
        std::size_t characters = 0;
        for (const char c : head) {
            characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
        }
        lines +=
            head +
            (characters < width ? std::string(width - characters, ' ') : "\n" + std::string(width, ' ')) +
            help + "\n";
    }
    return lines;
}

// The exit codes as the help lists them, from the one table.
std::string ExitCodeLines() {
    std::string lines;
    for (const TCliExitRow& row : kCliExitTable) {
        std::string code = std::to_string(static_cast<int>(row.Code));
        code.resize(5, ' ');
        std::string meaning = row.Meaning;
        for (std::size_t at = meaning.find('\n'); at != std::string::npos; at = meaning.find('\n', at + 1)) {
            meaning.insert(at + 1, "       ");
        }
        lines += "  " + code + meaning + "\n       дальше: " + row.Action + "\n";
    }
    return lines;
}

} // namespace

TParsed Parse(const std::vector<std::string>& args) {
    TOptionSet options;
    QStringList arguments;
    for (const std::string& arg : args) {
        arguments << QString::fromStdString(arg);
    }
    if (arguments.isEmpty()) {
        arguments << QStringLiteral("rq7cli");
    }
    TParsed parsed;
    if (!options.Parser.parse(arguments)) {
        parsed.Error = ParserError(options.Parser, arguments);
        return parsed;
    }
    if (options.Parser.isSet(options.Version)) {
        parsed.Text = Rq7CliVersion();
        return parsed;
    }
    const QStringList positional = options.Parser.positionalArguments();
    const bool help = options.IsSet("help");
    if (positional.isEmpty()) {
        if (help) {
            parsed.Text = Rq7CliHelp();
        } else {
            parsed.Error = "не указана команда";
        }
        return parsed;
    }
    const std::string name = positional[0].toStdString();
    if (name == "help") {
        if (positional.size() == 1) {
            parsed.Text = Rq7CliHelp();
        } else if (const TCliCommand* command = FindCliCommand(positional[1].toStdString())) {
            parsed.Text = CommandHelp(*command);
        } else {
            parsed.Error = "неизвестная команда: " + positional[1].toStdString();
        }
        return parsed;
    }
    const TCliCommand* command = FindCliCommand(name);
    if (command == nullptr) {
        parsed.Error = "неизвестная команда: " + name;
        return parsed;
    }
    if (help) {
        parsed.Text = CommandHelp(*command);
        return parsed;
    }
    const bool takesFile = *command->Operand != '\0';
    if (takesFile && positional.size() < 2 && !command->OperandOptional) {
        parsed.Error =
            std::string("команде ") + command->Name +
            (std::string(command->OperandEnglish) == "FILE" ? " нужен файл" : " нужен номер записи");
        return parsed;
    }
    if (positional.size() > (takesFile ? 2 : 1)) {
        parsed.Error = "лишний аргумент: " + positional.last().toStdString();
        return parsed;
    }
    parsed.Error = CheckOptionsFit(options, *command);
    if (!parsed.Error.empty()) {
        return parsed;
    }
    TCommandLine line;
    line.Command = name;
    const std::string operand =
        takesFile && positional.size() > 1 ? positional[1].toStdString() : std::string();
    if (std::string(command->OperandEnglish) == "FILE") {
        line.File = operand;
    } else {
        line.RecordId = operand;
    }
    line.Port = options.IsSet("port") ? options.Value("port") : std::string();
    line.Trace = options.IsSet("trace");
    line.Json = options.IsSet("json");
    line.Output = options.Value("output");
    line.NoVerify = options.IsSet("no-verify");
    if (options.IsSet("address")) {
        line.Address = options.Value("address");
    }
    const char* const channels[3] = {"ch1", "ch2", "ch3"};
    for (std::size_t c = 0; c < line.Channels.size(); ++c) {
        if (options.IsSet(channels[c])) {
            line.Channels[c] = options.Value(channels[c]);
        }
    }
    line.History = options.Value("history");
    line.NoHistory = options.IsSet("no-history");
    if (options.IsSet("technician")) {
        line.Technician = options.Value("technician");
    }
    if (options.IsSet("factory-number")) {
        line.FactoryNumber = options.Value("factory-number");
    }
    line.Since = options.Value("since");
    line.Csv = options.IsSet("csv");
    line.Check = options.IsSet("check");
    line.Pdf = options.Value("pdf");
    line.Html = options.Value("html");
    line.AsLeft = options.IsSet("as-left");
    line.AsFoundGiven = options.IsSet("as-found");
    line.OtherAdapter = options.IsSet("other-adapter");
    line.CompareFile = options.Value("file");
    line.CompareRecord = options.Value("record");
    for (const char* name : {"history", "pdf", "html", "file", "record", "since", "factory-number"}) {
        if (options.IsSet(name) && options.Value(name).empty()) {
            parsed.Error = std::string("параметр --") + name + ": пустое значение";
            return parsed;
        }
    }
    if (line.AsLeft && line.AsFoundGiven) {
        parsed.Error = "--as-found и --as-left вместе не подходят: выберите один блок записи";
        return parsed;
    }
    if (line.Json && line.Csv) {
        parsed.Error = "--json и --csv вместе не подходят: выберите один вид вывода";
        return parsed;
    }
    if (line.NoHistory && (options.IsSet("history") || line.Technician)) {
        parsed.Error =
            "--no-history не подходит к --history и --technician: без журнала они ничего не значат";
        return parsed;
    }
    if (options.IsSet("output") && line.Output.empty()) {
        parsed.Error = "параметр --output: пустое имя файла";
        return parsed;
    }
    if (options.IsSet("port") && line.Port.empty()) {
        parsed.Error = "параметр --port: пустое имя порта";
        return parsed;
    }
    if (line.Json && line.Output == "-") {
        parsed.Error = "--json и --output - вместе не подходят: оба пишут в стандартный вывод";
        return parsed;
    }
    parsed.Line = line;
    parsed.Command = command;
    return parsed;
}

std::string Rq7CliHelp() {
    std::string text = "Использование: rq7cli КОМАНДА [ПАРАМЕТРЫ]\n"
                       "Адаптер RQ7 из командной строки.\n"
                       "\n"
                       "Команды:\n";
    for (const TCliCommand& command : CliCommands()) {
        std::string name = command.Name;
        name.resize(26, ' ');
        text += "  " + name + command.Summary + "\n";
    }
    text += "  help [КОМАНДА]            эта справка, или справка по команде с примером\n"
            "\n"
            "Параметры любой команды:\n" +
            OptionLines(CommonCliOptions()) +
            "  --version                 версия программы\n"
            "\n"
            "Пароли спрашиваются на терминале без эха (приглашение выводится на сам терминал); если\n"
            "стандартный ввод не терминал, они читаются из него по одному в строке, в порядке\n"
            "запроса. Неверный или не введённый пароль: ничего не отправляется.\n"
            "\n"
            "Остановка (Ctrl+C, SIGTERM, SIGHUP, закрытый стандартный вывод или поток ошибок): до\n"
            "первого запроса записи ничего больше не отправляется (код 130); после него блок\n"
            "дописывается до конца (около 3 с, до 6 с при повторах), проверка чтением пропускается\n"
            "(код 9, или 8 если блок не дописан). Второй Ctrl+C прерывает запись сразу.\n"
            "\n"
            "Сообщения об ошибках начинаются с \"rq7cli: \" и идут в стандартный поток ошибок.\n"
            "\n"
            "Коды завершения:\n" +
            ExitCodeLines();
    return text;
}

std::string CommandHelp(const TCliCommand& command) {
    std::string text =
        "Использование: " + CliSynopsis(command) + "\n" + command.Summary + ".\n\n" + command.Help + "\n";
    if (!command.Options.empty()) {
        text += "\nПараметры:\n" + OptionLines(command.Options);
    }
    text += "\nПараметры любой команды:\n" + OptionLines(CommonCliOptions());
    text += std::string("\nПример:\n  ") + command.Example + "\n";
    text += "\nКоды завершения: rq7cli help\n";
    return text;
}

std::string Rq7CliVersion() {
    return std::string("rq7cli ") + RQ7_VERSION + "\n";
}
