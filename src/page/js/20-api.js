// The connection of this page and the calls to the program.

var ADDRESS = parseAddress(location.search);
// A password typed into the password page is kept for the browser session
// under CONNECTION.pwdKey (the password page writes it there under the same
// name).
var CONNECTION = connectionOf(ADDRESS, sessionValue, storedValue);

// Embed mode from the same reading of the address as the calls' (the theme
// bootstrap switched it on already where it reads the address alike).
document.documentElement.classList.toggle('embedded', embedOf(ADDRESS));

// A password in the page's address moves to the tab's session storage, where
// a typed one is kept, and leaves the address: no view link, history entry
// or bookmark carries it, and a reload of the tab still has it. Where the
// session storage refuses it, the address keeps it, so that a reload works.
function movePasswordOutOfAddress() {
  var pwd = ADDRESS.get('pwd');
  if (pwd === null) return;
  try {
    if (pwd) sessionStorage.setItem(CONNECTION.pwdKey, pwd);
    if (sessionStorage.getItem(CONNECTION.pwdKey) !== pwd && pwd) return;
    var search = editAddress(ADDRESS, { pwd: '' });
    history.replaceState(history.state, '', location.pathname + search + location.hash);
    ADDRESS = parseAddress(search);
  } catch (e) {}
}

// A failed call, in plain words: `status` is the HTTP status, 0 when the
// host could not be reached at all.
function callError(status) {
  var e = new Error(
    status === 401 ? 'The password was not accepted' :
    status ? 'The host answered HTTP ' + status : 'The host could not be reached');
  e.status = status;
  return e;
}

function api(action, extra) {
  var url = apiUrl(CONNECTION, action, extra);
  var pwd = CONNECTION.pwd;
  var request = pwd ? fetch(url, { headers: { 'X-Bot-Password': pwd } }) : fetch(url);
  return request.then(
    function (res) {
      if (res.status < 200 || res.status > 299) throw callError(res.status);
      return res.json();
    },
    function () {
      throw callError(0);
    },
  );
}

// Takes a newly typed password for the calls that follow, kept for the
// tab's session as the password page keeps it.
function usePassword(pwd) {
  CONNECTION.pwd = pwd;
  try {
    sessionStorage.setItem(CONNECTION.pwdKey, pwd);
  } catch (e) {}
}
