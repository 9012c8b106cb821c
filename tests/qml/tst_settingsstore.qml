import QtQuick
import QtTest
import Pelora

// Separate documents reach one SettingsStore: what one writes the other reads and hears.
TestCase {
    id: root
    name: "SettingsStoreShared"

    function makeDocument(body) {
        return Qt.createQmlObject("import QtQml; import Pelora; QtObject { "
                                  + "property QtObject store: SettingsStore; " + body + " }",
                                  root, "document")
    }

    function test_documents_share_one_store() {
        const writer = makeDocument("function write(v) { SettingsStore.setValue('shared/key', v) }")
        const reader = makeDocument("property var heard: null; "
                                    + "property Connections watch: Connections { target: SettingsStore; "
                                    + "function onValueChanged(key, value) { heard = SettingsStore.value(key) } }")
        verify(writer.store !== null)
        compare(reader.store, writer.store)
        compare(reader.store, SettingsStore)

        writer.write(42)
        compare(Number(reader.heard), 42)
        compare(Number(reader.store.value("shared/key", 0)), 42)
        writer.destroy()
        reader.destroy()
    }
}
