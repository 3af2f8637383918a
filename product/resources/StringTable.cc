// The string table of one language resource library, resources.<LANG>.dll. Every
// library is built from this file; HIVEMEND_RESOURCE_LANGUAGE names the language whose
// texts it carries. Only the message of the hand-off and its caption are translated:
// the other entries are pieces of the product's program file names, which are the same
// in every language.
#include <string_view>

#include "win32/user32/resource.h"

#ifndef HIVEMEND_RESOURCE_LANGUAGE
#error "HIVEMEND_RESOURCE_LANGUAGE names the library's language (DEU, ENG, ...)"
#endif

namespace {

struct Translation {
  std::string_view language;
  const char16_t* caption;       // 1005: caption of the hand-off's error message
  const char16_t* cannot_start;  // 9002: the hand-off program cannot be started
};

constexpr Translation kTranslations[] = {
    {"DEU", u"Tessaro-Fehler",
     u"Das Programm, das dieses Werkzeug für Benutzer ohne Administratorrechte startet, konnte nicht "
     u"gestartet werden."},
    {"ENG", u"Tessaro Error",
     u"The program that starts this tool for users without administrator rights could not be started."},
    {"SPN", u"Error de Tessaro",
     u"No se pudo iniciar el programa que inicia esta herramienta para usuarios sin derechos de "
     u"administrador."},
    {"FRC", u"Erreur Tessaro",
     u"Le programme qui lance cet outil pour les utilisateurs sans droits d'administrateur n'a pas pu "
     u"être démarré."},
    {"ITN", u"Errore Tessaro",
     u"Impossibile avviare il programma che avvia questo strumento per gli utenti senza diritti di "
     u"amministratore."},
    {"JPN", u"Tessaro エラー",
     u"管理者権限のないユーザーのためにこのツールを起動するプログラムを開始できませんでした。"},
    {"NTL", u"Tessaro-fout",
     u"Het programma dat dit hulpmiddel start voor gebruikers zonder beheerdersrechten kon niet worden "
     u"gestart."},
};

consteval const Translation& translation(std::string_view language) {
  for (const auto& t : kTranslations)
    if (t.language == language) return t;
  throw "no translation for this language";
}

constexpr const Translation& kThis = translation(HIVEMEND_RESOURCE_LANGUAGE);

}  // namespace

extern "C" __attribute__((visibility("default"))) const HIVEMEND_STRING_RESOURCE HivemendStringTable[] = {
    {1005, kThis.caption},
    {9002, kThis.cannot_start},
    // The hand-off recognises a tool by these pieces of its program file's path.
    {10000, u"TsoTalvin.exe"},
    {10004, u"TsoQuenby.exe"},
    {10006, u"TsoVendle.exe"},
    {10007, u"TsoKestin.exe"},
    {10008, u"TsoHolmby.exe"},
    {10012, u"TsoMorvel.exe"},
    {10013, u"TsoWickmar.exe"},
    {10023, u"hivemend"},
    // The hand-off program, in the product's install directory.
    {10022, u"TsoHandOff.exe"},
    {0, nullptr},
};
