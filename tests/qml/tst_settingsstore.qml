import QtQuick
import QtTest
import Pelora

// Separately compiled documents reach one SettingsStore: what one writes the other hears.
TestCase {
    id: root
    name: "SettingsStoreShared"

    function test_documents_share_one_store() {
        const writer = createTemporaryQmlObject("import QtQml; import Pelora; QtObject { "
                + "function write(v) { SettingsStore.setValue('shared/key', v) } }", root)
        const reader = createTemporaryQmlObject("import QtQml; import Pelora; QtObject { "
                + "property var heard: null; property Connections watch: Connections { "
                + "target: SettingsStore; function onValueChanged(key, value) { "
                + "heard = SettingsStore.value(key) } } }", root)
        writer.write(42)
        compare(Number(reader.heard), 42)
    }
}
