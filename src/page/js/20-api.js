// The connection of this page and the calls to the program.

var ADDRESS = parseAddress(location.search);
// A password typed into the password page is kept for the browser session
// under CONNECTION.pwdKey (the password page writes it there under the same
// name).
var CONNECTION = connectionOf(ADDRESS, sessionValue, storedValue);

function api(action, extra) {
  var url = apiUrl(CONNECTION, action, extra);
  var pwd = CONNECTION.pwd;
  var request = pwd ? fetch(url, { headers: { 'X-Bot-Password': pwd } }) : fetch(url);
  return request.then(function (res) {
    if (res.status < 200 || res.status > 299) throw new Error('HTTP ' + res.status);
    return res.json();
  });
}
