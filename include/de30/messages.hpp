#pragma once
// The fixed messages of ESerialIO, one per failing exchange, in UTF-8. Hosts that
// recognise a failure by its text compare against these.

namespace de30::messages {

inline constexpr const char StartPump[] = "Ошибка при включении ТРК";
inline constexpr const char StopPump[] = "Can't STOP POMP";
inline constexpr const char ExecuteCommand[] = "Ошибка исполнения команды";
inline constexpr const char ReinitPump[] = "Переинициализация ТРК";
inline constexpr const char SendUnblock[] = "Ошибка разблокировки";
inline constexpr const char SetPrice[] = "Ошибка при установке цены";
inline constexpr const char SetDoseLitres[] = "Ошибка при установке предела отлива в литрах";
inline constexpr const char ReadFill[] = "Ошибка запроса данных отлива";
inline constexpr const char GetTotals[] = "Ошибка при запросе общих счетчиков ТРК";
inline constexpr const char GetSost[] = "Can't GetSost";

} // namespace de30::messages
