#include "window/Form2Description.h"

#include "text/Cp1251.h"

#ifndef ORDERDATES_DB_NAME
#error "ORDERDATES_DB_NAME must be defined by the build"
#endif
#ifndef ORDERDATES_SERVICE_HOST
#error "ORDERDATES_SERVICE_HOST must be defined by the build"
#endif

namespace od {

namespace {

TForm2Description MakeForm2Description() {
  TForm2Description d;
  d.Caption = Cp("Восстановление заказов");
  d.DBName = ORDERDATES_DB_NAME;
  d.DBParams = {"user_name=SYSDBA", "password=quillstem", "lc_ctype=WIN1251"};
  d.SQLCount = {"SELECT count(ID)", "FROM", "    TBL_ZAKAZ_TOVARS ", "where zakaz_id>0"};
  d.SQLListZakaz = {"SELECT",           "    ID,",          "    ZAKAZ_ID", "FROM", "    TBL_ZAKAZ_TOVARS ",
                    "WHERE ZAKAZ_ID>0", "ORDER BY ZAKAZ_ID"};
  d.SQLUpdateID = {"UPDATE TBL_ZAKAZ_TOVARS SET ", "   DATA_TIME_SEND=:DATA_TIME_SEND", "WHERE", "    ID=:ID"};
  d.ServiceHost = ORDERDATES_SERVICE_HOST;
  return d;
}

} // namespace

const TForm2Description Form2Description = MakeForm2Description();

std::string ProgramTitle() { return Cp("Восстановление БД"); }

} // namespace od
