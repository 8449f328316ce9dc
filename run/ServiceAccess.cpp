#include "base/Exception.h"
#include "net/TlsLayer.h"
#include "run/OrderUrl.h"
#include "run/RestorationRun.h"

namespace od {

THttpGetOptions TRestorationRun::ServiceAccess() const {
  // Also for a plain http service: it may send the requests on to https.
  std::string error;
  if (!UseTlsLayer(settings_.CaFile, error)) throw Exception(error);
  THttpGetOptions options;
  options.Proxy = settings_.Proxy;
  options.User = settings_.ServiceUser;
  options.Password = settings_.ServicePassword;
  return options;
}

void TRestorationRun::NoteServiceWide(const THttpGetResult& result) {
  // A refused certificate, tunnel or redirect ends every order's request
  // the same way: one line for all of them says it better than one each.
  if (result.Failure == THttpFailure::Certificate || result.Failure == THttpFailure::Tunnel ||
      result.Failure == THttpFailure::Redirect)
    report_.ServiceWide(result.Error);
  if (!result.MovedTo.empty()) report_.ServiceMoved(ServiceOfOrderUrl(result.MovedTo));
}

} // namespace od
