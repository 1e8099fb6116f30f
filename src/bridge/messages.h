#pragma once
// The fixed texts the bridge writes. The parent application matches some of
// them literally, so they are written exactly as it expects, umlauts and all.

namespace velmora::bridge::messages {

inline constexpr const char* callIncomplete = "Aufruf unvollständig";
inline constexpr const char* semanticRequestInvalid = "Semantischer Auftrag ungültig";
inline constexpr const char* classifierFailedEarly =
    "Die lokale Apple-Vision-KI konnte auf diesem Mac nicht ausgeführt werden. Keine "
    "Motiverkennung bestätigt; bisherige Analyse und Papierkorb bleiben erhalten.";
inline constexpr const char* classifierUnavailable =
    "Apple-Vision-KI nicht verfügbar: keine Vorschau erfolgreich klassifiziert. Erneut "
    "außerhalb einer eingeschränkten Ausführungsumgebung starten.";
inline constexpr const char* libraryAccessMissing =
    "Fotos-Zugriff fehlt. Systemeinstellungen > Datenschutz & Sicherheit > Fotos: Velmora "
    "freigeben.";
inline constexpr const char* selectionInvalid = "Ungültige Auswahl";
inline constexpr const char* selectionChanged = "Auswahl verändert";
inline constexpr const char* selectionHasFavorite =
    "Die Auswahl enthält inzwischen einen Favoriten. Bitte Auswahl aktualisieren.";
inline constexpr const char* duplicateCheckChanged = "Duplikatprüfung verändert; neu analysieren";
inline constexpr const char* cancelled = "Abgebrochen";
inline constexpr const char* unknownAction = "Unbekannte Aktion";

// Texts that actions build or fall back to at run time.
inline constexpr const char* deletionFailed = "Löschen fehlgeschlagen";
inline constexpr const char* classificationFailed = "Vision-Klassifikation nicht ausführbar";
inline constexpr const char* scanWarningSuffix =
    ": Originale nicht vollständig lokal verfügbar; Größe unvollständig, keine exakte "
    "Duplikaterkennung";
// After a folder's path inside the pictures folder (ending in "/"), in the
// same list: a folder the scan could not look into.
inline constexpr const char* unreadableFolderSuffix =
    ": Ordner nicht lesbar; enthaltene Medien fehlen in der Analyse";

}  // namespace velmora::bridge::messages
