package com.vorant.jpos.tavrolink.port;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The JSON the port lister prints: objects, arrays, strings, null, true, false and numbers, read
 * into maps, lists, strings, booleans and doubles. The jar carries no JSON library of its own.
 */
final class Json {
    private final String text;
    private int at;

    private Json(String text) {
        this.text = text;
    }

    static Object parse(String text) {
        Json j = new Json(text);
        Object value = j.value();
        j.space();
        if (j.at != text.length()) {
            throw j.error("text after the value");
        }
        return value;
    }

    @SuppressWarnings("unchecked")
    static Map<String, Object> object(Object o, String what) {
        if (!(o instanceof Map)) {
            throw new IllegalArgumentException(what + " is not a JSON object");
        }
        return (Map<String, Object>) o;
    }

    static List<?> array(Object o, String what) {
        if (!(o instanceof List)) {
            throw new IllegalArgumentException(what + " is not a JSON array");
        }
        return (List<?>) o;
    }

    static String string(Object o, String what) {
        if (!(o instanceof String)) {
            throw new IllegalArgumentException(what + " is not a JSON string");
        }
        return (String) o;
    }

    static String stringOrNull(Object o, String what) {
        return o == null ? null : string(o, what);
    }

    private IllegalArgumentException error(String what) {
        return new IllegalArgumentException("not the port lister's JSON: " + what + " at "
                + at);
    }

    private void space() {
        while (at < text.length() && " \t\r\n".indexOf(text.charAt(at)) >= 0) {
            at++;
        }
    }

    private boolean take(char c) {
        space();
        if (at < text.length() && text.charAt(at) == c) {
            at++;
            return true;
        }
        return false;
    }

    private void expect(char c) {
        if (!take(c)) {
            throw error("'" + c + "' expected");
        }
    }

    private Object value() {
        space();
        if (at >= text.length()) {
            throw error("a value expected");
        }
        char c = text.charAt(at);
        if (c == '{') {
            at++;
            Map<String, Object> map = new LinkedHashMap<>();
            if (!take('}')) {
                do {
                    space();
                    String key = string();
                    expect(':');
                    map.put(key, value());
                } while (take(','));
                expect('}');
            }
            return map;
        }
        if (c == '[') {
            at++;
            List<Object> list = new ArrayList<>();
            if (!take(']')) {
                do {
                    list.add(value());
                } while (take(','));
                expect(']');
            }
            return list;
        }
        if (c == '"') {
            return string();
        }
        for (String word : new String[] {"null", "true", "false"}) {
            if (text.startsWith(word, at)) {
                at += word.length();
                return word.equals("null") ? null : Boolean.valueOf(word.equals("true"));
            }
        }
        int start = at;
        while (at < text.length() && "+-0123456789.eE".indexOf(text.charAt(at)) >= 0) {
            at++;
        }
        try {
            return Double.valueOf(text.substring(start, at));
        } catch (NumberFormatException e) {
            at = start;
            throw error("a value expected");
        }
    }

    private String string() {
        if (at >= text.length() || text.charAt(at) != '"') {
            throw error("a string expected");
        }
        at++;
        StringBuilder b = new StringBuilder();
        while (at < text.length()) {
            char c = text.charAt(at++);
            if (c == '"') {
                return b.toString();
            }
            if (c != '\\') {
                b.append(c);
                continue;
            }
            if (at >= text.length()) {
                break;
            }
            char e = text.charAt(at++);
            int i = "\"\\/bfnrt".indexOf(e);
            if (i >= 0) {
                b.append("\"\\/\b\f\n\r\t".charAt(i));
            } else if (e == 'u' && at + 4 <= text.length()) {
                try {
                    b.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
                } catch (NumberFormatException x) {
                    throw error("a bad \\u escape");
                }
                at += 4;
            } else {
                throw error("a bad escape");
            }
        }
        throw error("an unterminated string");
    }
}
